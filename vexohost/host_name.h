#pragma once

#include <cstddef>
#include <string>

namespace vexodl::vexohost::internal {

constexpr std::size_t kMaxHostNameLength = 64;

// Whether `name` can name a plug-in folder: 1 to kMaxHostNameLength bytes of [A-Za-z0-9._-],
// neither "." nor "..". Such a name never leaves the folder it is joined to.
bool IsValidHostName(const std::string& name);

// Throws kErrInvalidName, saying why, unless IsValidHostName(name). Touches nothing else, so every
// call that takes a host name runs it first.
void CheckHostName(const std::string& name);

// Whether `name` ends like an archive that UnpackPackage (package.h) reads: .tar.gz, .tgz or .zip.
bool IsArchiveName(const std::string& name);

}  // namespace vexodl::vexohost::internal
