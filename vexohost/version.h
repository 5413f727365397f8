#pragma once

#include <cstddef>
#include <string>

namespace vexodl::vexohost::internal {

// Plug-in versions, as manifests and update indexes name them (docs/vexohost.md).
constexpr std::size_t kMaxVersionLength = 64;

// Whether `version` is 1 to kMaxVersionLength bytes of [A-Za-z0-9.+~_-], as a manifest's must be.
bool IsValidVersion(const std::string& version);

// Compares two plug-in versions: runs of digits as numbers (so 1.10 is newer than 1.9, and 1.01
// equals 1.1), everything else byte by byte, a version that goes on after the other ends newer.
// Negative, zero or positive, like strcmp.
int CompareVersions(const std::string& a, const std::string& b);

}  // namespace vexodl::vexohost::internal
