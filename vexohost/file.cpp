#include "file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "errors.h"

namespace vexodl::vexohost::internal {

namespace {

int OpenRetrying(const std::string& path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

FileKind KindOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return FileKind::kMissing;
    FailSystem("stat", path, errno);
  }
  return S_ISDIR(st.st_mode) ? FileKind::kDirectory : FileKind::kOther;
}

std::vector<std::string> ListDirectory(const std::string& path) {
  std::vector<std::string> names;
  UniqueFd fd(OpenRetrying(path, O_RDONLY | O_DIRECTORY));
  if (fd.get() < 0) {
    if (errno == ENOENT) return names;
    FailSystem("open directory", path, errno);
  }
  std::unique_ptr<DIR, DirCloser> dir(::fdopendir(fd.get()));
  if (!dir) FailSystem("read directory", path, errno);
  fd.Release();  // the DIR owns it now
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) FailSystem("read directory", path, errno);
      break;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.emplace_back(entry->d_name);
  }
  return names;
}

FileReadError::FileReadError(const std::string& path, int error, const std::string& why)
    : VexoError(kErrFileSystem, (PrintablePath(path) + why).c_str()), error_(error) {}

std::string ReadSmallFile(const std::string& path, std::size_t limit) {
  const auto fail = [&](int error) {
    if (error == EFBIG)
      throw FileReadError(path, error, " is larger than " + std::to_string(limit) + " bytes");
    if (error == EINVAL) throw FileReadError(path, error, " is not a regular file");
    throw FileReadError(path, error, ": " + SystemText(error));
  };
  UniqueFd fd(OpenRetrying(path, O_RDONLY | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) fail(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) fail(errno);
  if (!S_ISREG(st.st_mode)) fail(EINVAL);
  if (static_cast<std::size_t>(st.st_size) > limit) fail(EFBIG);
  // Asking for one byte more than the file holds finds its end in one read: a regular file gives
  // fewer bytes than asked only at its end. A file that grew since fstat is read on to its end.
  std::string text;
  std::size_t want = static_cast<std::size_t>(st.st_size) + 1;
  for (;;) {
    const std::size_t have = text.size();
    text.resize(have + want);
    const ssize_t n = ::read(fd.get(), &text[have], want);
    if (n < 0) {
      text.resize(have);
      if (errno == EINTR) continue;
      fail(errno);
    }
    text.resize(have + static_cast<std::size_t>(n));
    if (text.size() > limit) fail(EFBIG);
    if (static_cast<std::size_t>(n) < want) break;
    want = 8192;
  }
  return text;
}

namespace {

// Throws kErrStateDirUnsafe unless `st`, the status of `path`, belongs to the effective user:
// a file or folder of another user's in the state directory could be read or changed by them.
void CheckOwnFile(const struct stat& st, const std::string& path) {
  const uid_t self = ::geteuid();
  if (st.st_uid != self) {
    Fail(kErrStateDirUnsafe, PrintablePath(path) + " belongs to user " + std::to_string(st.st_uid) +
                                 ", not to this service's user " + std::to_string(self) +
                                 ": remove it, or give it to user " + std::to_string(self) +
                                 " (chown) if it is the service's own");
  }
}

// Takes every permission of group and others away from the regular file open as `fd`. On a
// read-only disk nobody can change the file, so there the mode is left as it is.
void TakePermissionsOfOthers(const UniqueFd& fd, const std::string& path) {
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) FailSystem("stat", path, errno);
  if (!S_ISREG(st.st_mode)) FailSystem("open", path, EINVAL);
  CheckOwnFile(st, path);
  if ((st.st_mode & 077) != 0 && ::fchmod(fd.get(), st.st_mode & 0700) != 0 && errno != EROFS) {
    FailSystem("chmod", path, errno);
  }
}

}  // namespace

UniqueFd OpenPrivateFile(const std::string& path) {
  UniqueFd fd(OpenRetrying(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY, 0600));
  if (fd.get() < 0) FailSystem("open", path, errno);
  TakePermissionsOfOthers(fd, path);
  return fd;
}

namespace {

// Creates `path` empty with mode 0600 unless something is there already. The file is made under
// a name of its own and closed before link(2) gives it `path`: no descriptor of the named file is
// ever closed. A file that another thread or process put there first is kept.
void CreatePrivateFile(const std::string& path) {
  std::string made = path + ".new-XXXXXX";
  const int fd = ::mkostemp(made.data(), O_CLOEXEC);
  if (fd < 0) FailSystem("create", made, errno);
  ::close(fd);
  const int linked = ::link(made.c_str(), path.c_str()) == 0 ? 0 : errno;
  ::unlink(made.c_str());
  if (linked != 0 && linked != EEXIST) FailSystem("link " + made + " to", path, linked);
}

}  // namespace

bool EnsurePrivateFile(const std::string& path, PrivateFileUse use) {
  const bool create = use == PrivateFileUse::kCreate;
  // O_PATH names the file without opening it: closing this descriptor releases no lock.
  UniqueFd fd(OpenRetrying(path, O_PATH | O_NOFOLLOW));
  if (!fd.valid() && errno == ENOENT && create) {
    CreatePrivateFile(path);
    fd = UniqueFd(OpenRetrying(path, O_PATH | O_NOFOLLOW));
  }
  if (!fd.valid()) {
    if (errno == ENOENT && !create) return false;
    FailSystem("open", path, errno);
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) FailSystem("stat", path, errno);
  if (S_ISLNK(st.st_mode)) FailSystem("open", path, ELOOP);
  if (!S_ISREG(st.st_mode)) FailSystem("open", path, EINVAL);
  if (use == PrivateFileUse::kRead && st.st_uid != ::geteuid()) return true;
  CheckOwnFile(st, path);
  if ((st.st_mode & 077) != 0) {
    // fchmod(2) refuses an O_PATH descriptor; its link in /proc/self/fd names the same file.
    const std::string self = "/proc/self/fd/" + std::to_string(fd.get());
    if (::chmod(self.c_str(), st.st_mode & 0700) != 0 && errno != EROFS) {
      FailSystem("chmod", path, errno);
    }
  }
  return true;
}

void MakeDirectory(const std::string& path, bool durable) {
  const bool made = ::mkdir(path.c_str(), 0700) == 0;
  if (!made && errno != EEXIST) FailSystem("mkdir", path, errno);
  if (made && durable) SyncFolder(path.substr(0, path.rfind('/')));
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) FailSystem("stat", path, errno);
  if (S_ISLNK(st.st_mode)) FailSystem("open", path, ELOOP);
  if (!S_ISDIR(st.st_mode)) FailSystem("mkdir", path, EEXIST);
  CheckOwnFile(st, path);
}

void Rename(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) FailSystem("rename " + from + " to", to, errno);
}

void WriteAll(int fd, std::string_view bytes, const std::string& path) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) FailSystem("write", path, errno);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string WriteNewFile(const std::string& staging, const std::string& bytes, mode_t mode,
                         const std::string& suffix) {
  std::string path = staging + "/new-XXXXXX" + suffix;
  // mkostemps creates with O_CREAT | O_EXCL, which never follows a link.
  UniqueFd fd(::mkostemps(path.data(), static_cast<int>(suffix.size()), O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) FailSystem("create", staging + "/new-XXXXXX" + suffix, errno);
  WriteAll(fd.get(), bytes, path);
  if (::fchmod(fd.get(), mode) != 0) FailSystem("chmod", path, errno);
  if (::fsync(fd.get()) != 0) FailSystem("fsync", path, errno);
  return path;
}

void PublishFile(const std::string& staging, const std::string& path, const std::string& bytes,
                 mode_t mode) {
  Rename(WriteNewFile(staging, bytes, mode), path);
  SyncFolder(path.substr(0, path.rfind('/')));
}

void SyncFolder(const std::string& path) {
  const UniqueFd fd(OpenRetrying(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
  if (!fd.valid()) FailSystem("open directory", path, errno);
  if (::fsync(fd.get()) != 0) FailSystem("fsync", path, errno);
}

void SyncFileSystem(const std::string& path) {
  const UniqueFd fd(OpenRetrying(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
  if (!fd.valid()) FailSystem("open directory", path, errno);
  if (::syncfs(fd.get()) != 0) FailSystem("syncfs", path, errno);
}

void RemoveTree(const std::string& path) {
  std::error_code error;
  std::filesystem::remove_all(path, error);
  if (error) FailSystem("remove", path, error.value());
}

}  // namespace vexodl::vexohost::internal
