#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vexodl::vexohost::internal {

// What one plug-in package may hold. A package past any limit is refused whole.
struct PackageLimits {
  std::size_t max_entries = 4096;
  std::uint64_t max_entry_bytes = std::uint64_t{64} << 20;
  std::uint64_t max_total_bytes = std::uint64_t{256} << 20;
};

// UnpackPackage copies the plug-in package `source` into the new directory `into`: `source` is a
// folder, or a .tar.gz, .tgz or .zip archive (told apart by the name's ending). Every entry is
// checked before it is written: no absolute path and no "..", only folders, regular files,
// symbolic links whose targets are relative and hold no "..", and hard links to regular files
// unpacked before them; nothing is written through a link. Throws kErrPackageUnreadable,
// kErrPackageUnsafe or kErrPackageTooLarge naming the entry; what was written by then stays in
// `into` for the caller to remove.
// REQUIRES: `into` does not exist and its parent does.
void UnpackPackage(const std::string& source, const std::string& into, const PackageLimits& limits);

// Whether `name` ends like an archive that UnpackPackage reads.
bool IsArchiveName(const std::string& name);

}  // namespace vexodl::vexohost::internal
