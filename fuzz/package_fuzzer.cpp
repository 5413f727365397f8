// The native store's package unpacker over any bytes, read as a .tar.gz (plain tar too: libarchive
// passes uncompressed input through) or as a .zip, chosen by the first byte. Whatever the bytes,
// the unpacker either writes a package that stays inside its folder and within its limits, or
// refuses it as unreadable, unsafe or too large; it never writes beside its folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "error/vexo_error.h"
#include "errors.h"
#include "fuzz_json.h"
#include "package.h"

using vexodl::fuzz::Check;
namespace store = vexodl::vexohost::internal;
namespace fs = std::filesystem;

namespace {

// Small limits, so that a run spends its time on the checks and not on writing big files.
constexpr store::PackageLimits kLimits{64, 64 * 1024, 256 * 1024};

// One folder for the whole run, removed at its end: the package file and the unpack folder, and
// nothing else.
class WorkFolder {
 public:
  WorkFolder() {
    const std::string parent =
        access("/dev/shm", W_OK) == 0 ? "/dev/shm" : fs::temp_directory_path().string();
    std::string pattern = parent + "/vexodl-package-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) vexodl::fuzz::Broken("cannot make a work folder");
    path_ = pattern;
  }
  ~WorkFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;

  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void WriteAll(const std::string& path, const uint8_t* data, size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  Check(fd >= 0, "cannot write the package file");
  for (size_t done = 0; done < size;) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    Check(n > 0, "cannot write the package file");
    done += static_cast<size_t>(n);
  }
  close(fd);
}

bool HasDotDot(const fs::path& path) {
  for (const fs::path& part : path) {
    if (part == "..") return true;
  }
  return false;
}

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
      Check(target.is_relative() && !HasDotDot(target), "a link points out of the package");
    } else if (fs::is_regular_file(status)) {
      const std::uintmax_t size = fs::file_size(it->path());
      Check(size <= kLimits.max_entry_bytes, "a file is larger than the entry limit");
      total += size;
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
  static const WorkFolder folder;
  const fs::path& work = folder.path();
  const fs::path source = work / ((data[0] & 1) != 0 ? "package.zip" : "package.tar.gz");
  const fs::path into = work / "unpacked";
  WriteAll(source, data + 1, size - 1);

  try {
    store::UnpackPackage(source, into, kLimits);
    CheckUnpacked(into);
  } catch (const vexodl::VexoError& error) {
    if (error.code != store::kErrPackageUnreadable && error.code != store::kErrPackageUnsafe &&
        error.code != store::kErrPackageTooLarge) {
      std::fprintf(stderr, "refused with %d: %s\n", error.code, error.what());
      vexodl::fuzz::Broken("a bad package is refused as unreadable, unsafe or too large");
    }
    Check(error.what()[0] != '\0', "a refusal says why");
    if (fs::exists(fs::symlink_status(into))) CheckUnpacked(into);
  }

  size_t beside = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(work)) {
    beside += entry.path() != source && entry.path() != into ? 1 : 0;
  }
  Check(beside == 0, "something was written beside the unpack folder");
  fs::remove_all(into);
  fs::remove(source);
  return 0;
}
