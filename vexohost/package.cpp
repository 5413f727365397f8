#include "package.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>
#include <set>
#include <vector>

#include "errors.h"
#include "file.h"
#include "host_name.h"
#include "on_demand.h"

namespace vexodl::vexohost::internal {

namespace {

struct ArchiveFree {
  void operator()(archive* handle) const { Archive().archive_read_free(handle); }
};
using ArchivePtr = std::unique_ptr<archive, ArchiveFree>;

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

[[noreturn]] void Unsafe(const std::string& entry, const std::string& why) {
  Fail(kErrPackageUnsafe, "package entry \"" + Printable(entry) + "\" " + why);
}

// The components of a path inside the package, without "" and "."; refuses absolute paths and
// "..". Empty for the package's root.
std::vector<std::string> Components(const std::string& entry, const std::string& path) {
  if (!path.empty() && path[0] == '/') Unsafe(entry, "has an absolute path");
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "..") Unsafe(entry, "climbs out of its folder with \"..\"");
    if (!part.empty() && part != ".") parts.push_back(part);
    start = end + 1;
  }
  return parts;
}

std::string Join(const std::vector<std::string>& parts) {
  std::string path;
  for (const std::string& part : parts) path += (path.empty() ? "" : "/") + part;
  return path;
}

// A longer name of one folder or file cannot be created (NAME_MAX of Linux file systems): the
// package is refused for it before the file system fails.
constexpr std::size_t kMaxNameBytes = NAME_MAX;

// Writes the entries of one package below `root`, keeping count against the limits.
class Unpacker {
 public:
  Unpacker(const std::string& into, const PackageLimits& limits) : into_(into), limits_(limits) {
    if (mkdir(into.c_str(), 0755) != 0) FailSystem("mkdir", into, errno);
    root_ = UniqueFd(open(into.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!root_.valid()) FailSystem("open", into, errno);
  }

  // Unpacks the entry that `handle` has just read; `path` is its path inside the package. Reads
  // the entry's data to its end, so that libarchive has none left to inflate unseen when it goes
  // on to the next entry.
  void Add(archive* handle, archive_entry* entry, const std::string& path) {
    // Every entry counts, whatever it names: a million entries of the package's own folder would
    // otherwise hold the store's lock for as long as they take to read.
    Count();
    const std::vector<std::string> parts = Components(path, path);
    const std::string name = parts.empty() ? "." : Join(parts);
    CheckShape(name, "path", path, parts);
    const char* hardlink = Archive().archive_entry_hardlink(entry);
    const mode_t type = Archive().archive_entry_filetype(entry);
    if (parts.empty() && (hardlink != nullptr || type != AE_IFDIR)) {
      Unsafe(name, "is the package's own folder but no folder");
    }
    CheckDeclared(entry, name);
    if (parts.empty()) {
      ReadData(handle, name, -1);
      return;
    }
    const std::vector<std::string> folder(parts.begin(), parts.end() - 1);
    const UniqueFd parent = OpenFolder(name, folder);
    const std::string& leaf = parts.back();

    if (hardlink != nullptr) {
      const std::string linked = Join(Components(name, hardlink));
      if (files_.count(linked) == 0) {
        Unsafe(name, "is a hard link to something that is not a file of the package");
      }
      if (linkat(root_.get(), linked.c_str(), parent.get(), leaf.c_str(), 0) != 0) {
        if (errno == EEXIST) Unsafe(name, "appears twice");
        FailSystem("link", into_ + "/" + name, errno);
      }
      ReadData(handle, name, -1);
      return;
    }
    switch (type) {
      case AE_IFDIR:
        if (mkdirat(parent.get(), leaf.c_str(), 0755) != 0 && errno != EEXIST) {
          FailSystem("mkdir", into_ + "/" + name, errno);
        }
        ReadData(handle, name, -1);
        return;
      case AE_IFREG:
        WriteFile(handle, entry, name, parent.get(), leaf);
        return;
      case AE_IFLNK: {
        const char* target = Archive().archive_entry_symlink(entry);
        const std::string text = target == nullptr ? "" : target;
        // Relative and without "..": every link then resolves at or below its own folder.
        if (text.empty() || text[0] == '/') Unsafe(name, "is a symbolic link out of the package");
        CheckShape(name, "link target", text, Components(name, text));  // throws on ".."
        if (symlinkat(text.c_str(), parent.get(), leaf.c_str()) != 0) {
          if (errno == EEXIST) Unsafe(name, "appears twice");
          FailSystem("symlink", into_ + "/" + name, errno);
        }
        ReadData(handle, name, -1);
        return;
      }
      default:
        Unsafe(name, "is a device, pipe or socket; a package holds only files, folders and links");
    }
  }

 private:
  // Refuses `text`, the `what` of entry `name` whose components are `parts`, past the limits on
  // paths, before anything is created for it.
  void CheckShape(const std::string& name, const std::string& what, const std::string& text,
                  const std::vector<std::string>& parts) const {
    const auto refuse = [&](const std::string& why) {
      Fail(kErrPackageTooLarge, "package entry \"" + Printable(name) + "\" " + why);
    };
    if (text.size() > limits_.max_path_bytes) {
      refuse("has a " + what + " longer than " + std::to_string(limits_.max_path_bytes) + " bytes");
    }
    for (const std::string& part : parts) {
      if (part.size() > kMaxNameBytes) {
        refuse("has a name longer than " + std::to_string(kMaxNameBytes) + " bytes in its " + what);
      }
    }
    if (parts.size() > limits_.max_depth) {
      refuse("has a " + what + " more than " + std::to_string(limits_.max_depth) + " levels deep");
    }
  }

  // Counts one more entry, or one more folder that a path implies.
  void Count() {
    if (++entries_ > limits_.max_entries) {
      Fail(kErrPackageTooLarge,
           "package has more than " + std::to_string(limits_.max_entries) + " entries");
    }
  }

  [[noreturn]] void EntryTooLarge(const std::string& name) const {
    Fail(kErrPackageTooLarge, "package entry \"" + Printable(name) + "\" is larger than " +
                                  std::to_string(limits_.max_entry_bytes) + " bytes");
  }

  [[noreturn]] void TotalTooLarge() const {
    Fail(kErrPackageTooLarge,
         "package unpacks to more than " + std::to_string(limits_.max_total_bytes) + " bytes");
  }

  // What an entry declares counts before any of it is read, or skipped: libarchive inflates the
  // data of an entry that is not read (a folder or link may carry some too) to reach the next.
  void CheckDeclared(archive_entry* entry, const std::string& name) const {
    if (!Archive().archive_entry_size_is_set(entry) || Archive().archive_entry_size(entry) <= 0)
      return;
    const auto declared = static_cast<std::uint64_t>(Archive().archive_entry_size(entry));
    if (declared > limits_.max_entry_bytes) EntryTooLarge(name);
    if (declared > limits_.max_total_bytes - total_) TotalTooLarge();
  }

  // Reads the data of the current entry to its end, counting every byte against the limits, and
  // writes it to `out` unless that is -1.
  void ReadData(archive* handle, const std::string& name, int out) {
    std::uint64_t size = 0;
    char buffer[64 * 1024];
    for (;;) {
      const la_ssize_t n = Archive().archive_read_data(handle, buffer, sizeof buffer);
      if (n == 0) return;
      if (n < 0) {
        Fail(kErrPackageUnreadable, "cannot read package entry \"" + Printable(name) +
                                        "\": " + Archive().archive_error_string(handle));
      }
      size += static_cast<std::uint64_t>(n);
      total_ += static_cast<std::uint64_t>(n);
      if (size > limits_.max_entry_bytes) EntryTooLarge(name);
      if (total_ > limits_.max_total_bytes) TotalTooLarge();
      if (out >= 0) WriteAll(out, {buffer, static_cast<std::size_t>(n)}, into_ + "/" + name);
    }
  }

  // Opens folder `parts` below the root, creating what is missing, never through a link.
  UniqueFd OpenFolder(const std::string& name, const std::vector<std::string>& parts) {
    UniqueFd fd(fcntl(root_.get(), F_DUPFD_CLOEXEC, 0));
    if (!fd.valid()) FailSystem("fcntl F_DUPFD_CLOEXEC", into_, errno);
    for (const std::string& part : parts) {
      int next = openat(fd.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (next < 0 && errno == ENOENT) {
        Count();
        if (mkdirat(fd.get(), part.c_str(), 0755) != 0) {
          FailSystem("mkdir", into_ + "/" + name, errno);
        }
        next = openat(fd.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      }
      if (next < 0 && (errno == ELOOP || errno == ENOTDIR)) {
        Unsafe(name, "lies behind a link or a file");
      }
      if (next < 0) FailSystem("open", into_ + "/" + name, errno);
      fd = UniqueFd(next);
    }
    return fd;
  }

  void WriteFile(archive* handle, archive_entry* entry, const std::string& name, int parent,
                 const std::string& leaf) {
    const mode_t mode = (Archive().archive_entry_perm(entry) & 0111) != 0 ? 0755 : 0644;
    const UniqueFd out(
        openat(parent, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!out.valid()) {
      if (errno == EEXIST) Unsafe(name, "appears twice");
      FailSystem("create", into_ + "/" + name, errno);
    }
    ReadData(handle, name, out.get());
    files_.insert(name);
  }

  std::string into_;
  PackageLimits limits_;
  UniqueFd root_;
  std::size_t entries_ = 0;      // entries and the folders their paths imply
  std::uint64_t total_ = 0;      // bytes read so far, never past limits_.max_total_bytes
  std::set<std::string> files_;  // regular files unpacked so far, the only hard-link targets
};

// The package's path comes from the caller and libarchive's text may quote an entry's name:
// both reach the message Printable.
[[noreturn]] void Unreadable(const std::string& source, archive* handle) {
  const char* why = handle == nullptr ? nullptr : Archive().archive_error_string(handle);
  Fail(kErrPackageUnreadable,
       "cannot read package " + Printable(source, std::string::npos) + ": " +
           (why == nullptr ? "not a valid archive" : Printable(why, std::string::npos)));
}

[[noreturn]] void CannotOpen(const std::string& source, int error) {
  Fail(kErrPackageUnreadable,
       "cannot open package " + Printable(source, std::string::npos) + ": " + SystemText(error));
}

void UnpackArchive(const std::string& source, Unpacker* unpacker) {
  const UniqueFd fd(open(source.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) CannotOpen(source, errno);
  const ArchivePtr handle(Archive().archive_read_new());
  if (!handle) Unreadable(source, nullptr);
  if (EndsWith(source, ".zip")) {
    Archive().archive_read_support_format_zip(handle.get());
  } else {
    Archive().archive_read_support_filter_gzip(handle.get());
    Archive().archive_read_support_format_tar(handle.get());
  }
  if (Archive().archive_read_open_fd(handle.get(), fd.get(), 64 * 1024) != ARCHIVE_OK) {
    Unreadable(source, handle.get());
  }
  for (;;) {
    archive_entry* entry = nullptr;
    const int status = Archive().archive_read_next_header(handle.get(), &entry);
    if (status == ARCHIVE_EOF) return;
    if (status < ARCHIVE_WARN) Unreadable(source, handle.get());
    const char* path = Archive().archive_entry_pathname(entry);
    if (path == nullptr) Unreadable(source, handle.get());
    unpacker->Add(handle.get(), entry, path);
  }
}

// A folder goes through the same checks as an archive: libarchive walks it as it stands on disk,
// links as links.
void UnpackFolder(const std::string& source, Unpacker* unpacker) {
  const ArchivePtr handle(Archive().archive_read_disk_new());
  if (!handle) Unreadable(source, nullptr);
  Archive().archive_read_disk_set_symlink_physical(handle.get());
  if (Archive().archive_read_disk_open(handle.get(), source.c_str()) != ARCHIVE_OK) {
    Unreadable(source, handle.get());
  }
  const std::string prefix = source + "/";
  for (;;) {
    archive_entry* entry = nullptr;
    const int status = Archive().archive_read_next_header(handle.get(), &entry);
    if (status == ARCHIVE_EOF) return;
    if (status < ARCHIVE_WARN) Unreadable(source, handle.get());
    // On disk only a regular file has data: the size that lstat gives a folder or a link is none.
    if (Archive().archive_entry_filetype(entry) != AE_IFREG)
      Archive().archive_entry_set_size(entry, 0);
    const std::string path = Archive().archive_entry_pathname(entry);
    if (path != source) {
      if (path.compare(0, prefix.size(), prefix) != 0) Unreadable(source, handle.get());
      unpacker->Add(handle.get(), entry, path.substr(prefix.size()));
    }
    if (Archive().archive_read_disk_can_descend(handle.get()))
      Archive().archive_read_disk_descend(handle.get());
  }
}

}  // namespace

void UnpackPackage(const std::string& source, const std::string& into,
                   const PackageLimits& limits) {
  Archive();  // a missing libarchive fails the install before anything is made
  struct stat st {};
  if (stat(source.c_str(), &st) != 0) CannotOpen(source, errno);
  if (S_ISDIR(st.st_mode)) {
    // libarchive names entries after the path it was given: without trailing slashes.
    std::string folder = source;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    Unpacker unpacker(into, limits);
    UnpackFolder(folder, &unpacker);
    return;
  }
  if (!S_ISREG(st.st_mode) || !IsArchiveName(source)) {
    Fail(kErrPackageUnreadable, "package " + Printable(source, std::string::npos) +
                                    " is neither a folder nor a .tar.gz, .tgz or .zip archive");
  }
  Unpacker unpacker(into, limits);
  UnpackArchive(source, &unpacker);
}

}  // namespace vexodl::vexohost::internal
