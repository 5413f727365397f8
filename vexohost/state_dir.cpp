#include "state_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "errors.h"
#include "file.h"

#ifndef VEXODL_VEXOHOST_DEFAULT_STATE_DIR
#define VEXODL_VEXOHOST_DEFAULT_STATE_DIR "/var/lib/vexodl/filehosts"
#endif

namespace vexodl::vexohost::internal {

namespace {

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

}  // namespace

StateDir StateDir::FromEnvironment() {
  const char* value = std::getenv(kStateDirVariable);
  const std::string configured =
      value == nullptr || *value == '\0' ? VEXODL_VEXOHOST_DEFAULT_STATE_DIR : value;
  if (configured[0] != '/') {
    Fail(kErrStateDir, std::string(kStateDirVariable) + " must be an absolute path, not \"" +
                           Printable(configured) + "\"");
  }
  const std::unique_ptr<char, decltype(&std::free)> real(::realpath(configured.c_str(), nullptr),
                                                         &std::free);
  if (!real) {
    if (errno == ENOENT || errno == ENOTDIR) {
      Fail(kErrStateDir, "state directory " + PrintablePath(configured) + " does not exist");
    }
    FailSystem("resolve", configured, errno);
  }
  if (KindOf(real.get()) != FileKind::kDirectory) {
    Fail(kErrStateDir, "state directory " + PrintablePath(configured) + " is not a directory");
  }
  return StateDir(real.get());
}

void StateDir::CheckSafe() const {
  const uid_t self = ::geteuid();
  // From the state directory up to "/": each prefix of a real path is a real directory.
  for (std::string path = root_;;) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) FailSystem("stat", path, errno);
    const bool is_root = path == "/";
    const std::string what =
        (path == root_ ? "state directory " : "directory ") + PrintablePath(path);
    if (st.st_uid != 0 && st.st_uid != self) {
      Fail(kErrStateDirUnsafe,
           what + " belongs to user " + std::to_string(st.st_uid) + ", neither root nor this " +
               "service's user " + std::to_string(self) + ", who could replace what it holds: " +
               "give it to root or to user " + std::to_string(self) + " (chown)");
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
      Fail(kErrStateDirUnsafe, what + " (mode " + Octal(st.st_mode) +
                                   ") can be written by other users, who could put files of " +
                                   "theirs in place: take that away (chmod go-w " +
                                   PrintablePath(path) + ")");
    }
    if (is_root) return;
    const std::size_t slash = path.rfind('/');
    path = slash == 0 ? "/" : path.substr(0, slash);
  }
}

}  // namespace vexodl::vexohost::internal
