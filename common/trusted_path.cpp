#include "trusted_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "unique_fd.h"

namespace vexodl::common {

namespace {

// As many links as the kernel follows in one lookup (MAXSYMLINKS).
constexpr int kMaxLinks = 40;

// The components of `path`, last first, so that the walk pops them from the back.
void PushComponents(const std::string& path, std::vector<std::string>* pending) {
  std::vector<std::string> names;
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) names.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  pending->insert(pending->end(), names.rbegin(), names.rend());
}

bool IsWithin(const std::string& path, const std::string& folder) {
  if (folder == "/") return true;
  return path.compare(0, folder.size(), folder) == 0 &&
         (path.size() == folder.size() || path[folder.size()] == '/');
}

PathTrust Failure(const std::string& where, int error) {
  PathTrust trust;
  trust.verdict = error == ENOENT || error == ENOTDIR ? PathTrust::Verdict::kMissing
                                                      : PathTrust::Verdict::kFailed;
  trust.where = where;
  trust.error = error;
  return trust;
}

PathTrust Judge(const struct stat& st, const std::string& where, const std::string& strict_from) {
  PathTrust trust;
  trust.where = where;
  trust.is_folder = S_ISDIR(st.st_mode);
  trust.owner = st.st_uid;
  trust.mode = st.st_mode;
  const bool sticky_excuses =
      trust.is_folder && (st.st_mode & S_ISVTX) != 0 && !IsWithin(where, strict_from);
  if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
    trust.verdict = PathTrust::Verdict::kOwner;
  } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky_excuses) {
    trust.verdict = PathTrust::Verdict::kWritable;
  }
  return trust;
}

// The text of the link open as `fd` (O_PATH | O_NOFOLLOW); empty with errno set on failure.
std::string LinkText(int fd) {
  std::string text(256, '\0');
  for (;;) {
    const ssize_t n = ::readlinkat(fd, "", text.data(), text.size());
    if (n < 0) return "";
    if (static_cast<std::size_t>(n) < text.size()) {
      text.resize(static_cast<std::size_t>(n));
      if (text.empty()) errno = ENOENT;
      return text;
    }
    text.resize(text.size() * 2);
  }
}

// A descriptor of the root folder, found by climbing from the working directory until ".." is the
// folder itself: open("/") is not always the root the kernel resolves links against (qemu-user
// with QEMU_LD_PREFIX opens its sysroot for absolute paths, relative ones it leaves alone).
// Falls back to "/" where the working directory cannot be climbed.
UniqueFd OpenRoot() {
  UniqueFd fd(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat here {};
  if (!fd.valid() || ::fstat(fd.get(), &here) != 0) {
    return UniqueFd(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
  for (;;) {
    UniqueFd up(::openat(fd.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat above {};
    if (!up.valid() || ::fstat(up.get(), &above) != 0) {
      return UniqueFd(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    if (above.st_dev == here.st_dev && above.st_ino == here.st_ino) return fd;
    fd = std::move(up);
    here = above;
  }
}

}  // namespace

PathTrust CheckTrustedPath(const std::string& path, const std::string& strict_from) {
  struct Folder {
    UniqueFd fd;
    std::string where;
  };
  std::vector<Folder> folders;  // the folders walked so far, "/" first
  const auto enter_root = [&]() -> PathTrust {
    folders.clear();
    UniqueFd fd = OpenRoot();
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) return Failure("/", errno);
    PathTrust trust = Judge(st, "/", strict_from);
    folders.push_back({std::move(fd), "/"});
    return trust;
  };
  PathTrust trust = enter_root();
  std::vector<std::string> pending;
  PushComponents(path, &pending);
  int links = 0;
  while (trust.trusted() && !pending.empty()) {
    const std::string name = std::move(pending.back());
    pending.pop_back();
    if (name == ".") continue;
    if (name == "..") {
      if (folders.size() > 1) folders.pop_back();
      continue;
    }
    const Folder& parent = folders.back();
    const std::string where = parent.where == "/" ? "/" + name : parent.where + "/" + name;
    UniqueFd fd(::openat(parent.fd.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) return Failure(where, errno);
    if (S_ISLNK(st.st_mode)) {
      if (++links > kMaxLinks) return Failure(where, ELOOP);
      const std::string target = LinkText(fd.get());
      if (target.empty()) return Failure(where, errno);
      if (target[0] == '/') trust = enter_root();
      PushComponents(target, &pending);
      continue;
    }
    if (!pending.empty() && !S_ISDIR(st.st_mode)) return Failure(where, ENOTDIR);
    trust = Judge(st, where, strict_from);
    if (S_ISDIR(st.st_mode)) folders.push_back({std::move(fd), where});
  }
  return trust;
}

std::string DescribeDistrust(const PathTrust& trust, const std::string& label,
                             std::string (*show)(const std::string&)) {
  const std::string shown = show(trust.where);
  const std::string what =
      (label.empty() ? (trust.is_folder ? "directory" : "file") : label) + " " + shown;
  const std::string self = std::to_string(::geteuid());
  if (trust.verdict == PathTrust::Verdict::kOwner) {
    return what + " belongs to user " + std::to_string(trust.owner) +
           ", neither root nor this service's user " + self + ", who could " +
           (trust.is_folder ? "replace what it holds" : "change it") + ": give it to root or to " +
           "user " + self + " (chown)";
  }
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(trust.mode & 07777));
  return what + " (mode " + mode + ") can be written by other users, who could " +
         (trust.is_folder ? "put files of theirs in place" : "change it") +
         ": take that away (chmod go-w " + shown + ")";
}

}  // namespace vexodl::common
