#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vexodl::vexohost::internal {

// What one plug-in package may hold. A package past any limit is refused whole.
struct PackageLimits {
  // Entries and the folders that their paths imply without listing them: every folder the
  // unpacker makes is one more to create now and to remove under the store lock later.
  std::size_t max_entries = 4096;
  // Bytes of one entry, and of all entries, counted as they unpack; data that an entry declares
  // counts before any of it is read, so that nothing past these limits is ever inflated.
  std::uint64_t max_entry_bytes = std::uint64_t{64} << 20;
  std::uint64_t max_total_bytes = std::uint64_t{256} << 20;
  // Components of one entry's path. Every entry opens each folder on its path in turn, and removal
  // descends as deep: 32 levels bound that work and are far more than a plug-in's files need.
  std::size_t max_depth = 32;
  // Bytes of one entry's path. 1024 leaves the plug-in's files, with the state directory and
  // user/<name>/ before them, well within PATH_MAX (4096), so that RemoveTree and other tools that
  // address them by full path can always reach them. No component may exceed NAME_MAX (255).
  std::size_t max_path_bytes = 1024;
};

// UnpackPackage copies the plug-in package `source` into the new directory `into`: `source` is a
// folder, or a .tar.gz, .tgz or .zip archive (told apart by the name's ending). Every entry is
// checked before it is written: no absolute path and no "..", only folders, regular files,
// symbolic links whose targets are relative and hold no "..", and hard links to regular files
// unpacked before them; nothing is written through a link; an entry that stands for the package's
// own folder ("." or "") is a folder. Throws kErrPackageUnreadable, kErrPackageUnsafe or
// kErrPackageTooLarge naming the entry; what was written by then stays in `into` for the caller
// to remove.
// REQUIRES: `into` does not exist and its parent does.
void UnpackPackage(const std::string& source, const std::string& into, const PackageLimits& limits);

}  // namespace vexodl::vexohost::internal
