// The native store's package unpacker over any bytes, read as a .tar.gz (plain tar too: libarchive
// passes uncompressed input through) or as a .zip, chosen by the first byte. Whatever the bytes,
// the unpacker either writes a package that stays inside its folder and within its limits, or
// refuses it as unreadable, unsafe or too large; it never writes beside its folder.
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "error/vexo_error.h"
#include "errors.h"
#include "fuzz_json.h"
#include "package.h"
#include "temp_dir.h"

using vexodl::fuzz::Check;
namespace store = vexodl::vexohost::internal;
namespace fs = std::filesystem;

namespace {

// Small limits, so that a run spends its time on the checks and not on writing big files.
constexpr store::PackageLimits kLimits{64, 64 * 1024, 256 * 1024};

// What was unpacked lies inside `into`: links are relative and never climb, and the limits hold,
// the folders that paths imply counted as entries.
void CheckUnpacked(const fs::path& into) {
  size_t entries = 0;
  std::uintmax_t total = 0;
  for (auto it = fs::recursive_directory_iterator(into); it != fs::recursive_directory_iterator();
       ++it) {
    ++entries;
    Check(static_cast<size_t>(it.depth()) < kLimits.max_depth, "an entry lies deeper than allowed");
    Check(it->path().native().size() - into.native().size() - 1 <= kLimits.max_path_bytes,
          "an entry's path is longer than allowed");
    const fs::file_status status = it->symlink_status();
    if (fs::is_symlink(status)) {
      const fs::path target = fs::read_symlink(it->path());
      Check(target.is_relative() && std::find(target.begin(), target.end(), "..") == target.end(),
            "a link points out of the package");
    } else if (fs::is_regular_file(status)) {
      total += fs::file_size(it->path());
      Check(fs::file_size(it->path()) <= kLimits.max_entry_bytes, "a file is over the entry limit");
    } else {
      Check(fs::is_directory(status), "something else than a file, folder or link");
    }
  }
  Check(entries <= kLimits.max_entries, "more entries than the limit");
  Check(total <= kLimits.max_total_bytes, "more bytes than the limit");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const vexodl::fake::TempDir work;  // for the whole run: the package and its folder
  const fs::path source = work / ((data[0] & 1) != 0 ? "package.zip" : "package.tar.gz");
  const fs::path into = work / "unpacked";
  std::ofstream(source, std::ios::binary)
      .write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));

  try {
    store::UnpackPackage(source, into, kLimits);
    CheckUnpacked(into);
  } catch (const vexodl::VexoError& error) {
    vexodl::fuzz::CheckRefusal(error, {store::kErrPackageUnreadable, store::kErrPackageUnsafe,
                                       store::kErrPackageTooLarge});
    if (fs::exists(fs::symlink_status(into))) CheckUnpacked(into);
  }
  for (const fs::directory_entry& entry : fs::directory_iterator(work.path())) {
    Check(entry.path() == source || entry.path() == into, "something was written beside");
  }
  fs::remove_all(into);
  fs::remove(source);
  return 0;
}
