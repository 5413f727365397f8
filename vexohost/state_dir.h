#pragma once

#include <string>

namespace vexodl::vexohost::internal {

// The environment variable that names the state directory, for tests, the demo and packagers.
constexpr char kStateDirVariable[] = "VEXODL_VEXOHOST_STATE_DIR";

// StateDir is where the service keeps everything (docs/vexohost.md):
//   shipped/<name>/manifest.json   plug-ins shipped with the download manager; read-only for us
//   user/<name>/manifest.json      plug-ins the user installed
//   staging/                       folders on their way into or out of user/; ours alone
//   accounts.db                    accounts and enabled states (SQLite, mode 0600)
//   update-index.json              the last update index whose signature held
//   lock, lock.gate                the store-wide lock (flock), mode 0600
class StateDir {
 public:
  explicit StateDir(std::string root) : root_(std::move(root)) {}

  // The directory that kStateDirVariable names, or the built-in default when it is unset or
  // empty, resolved to its real path. Data volumes are commonly linked into place, so links on
  // the way to the directory are followed here, once per call; below it, the service opens
  // nothing of its own through a link. Throws kErrStateDir for a relative path (a service has no
  // meaningful working directory), and unless the directory exists: the service never creates
  // it, since a missing one means a broken installation or a mistyped variable.
  static StateDir FromEnvironment();

  // Throws kErrStateDirUnsafe, naming the path and what to fix, unless the directory and every
  // directory above it belong to root or to the effective user and can be written by their owner
  // alone (a directory above it, not the state directory itself, may be writable by others with
  // the sticky bit, as /tmp is). Otherwise another user could put a database of theirs in place
  // and receive every password stored after, or hold the lock files. Every call that writes, or
  // runs a verifier, checks first; reads need not.
  // REQUIRES: root() is a real path, as FromEnvironment gives.
  void CheckSafe() const;

  // The same rule for `path`, a file or folder in the state directory that we are about to run or
  // act on, and for every folder on the way to it, links followed (common::CheckTrustedPath): at
  // and below the state directory no folder may be writable by others, sticky or not. Returns
  // false when `path` does not exist; throws kErrFileSystem when it cannot be looked at.
  bool CheckTrusted(const std::string& path) const;

  const std::string& root() const { return root_; }
  std::string shipped() const { return root_ + "/shipped"; }
  std::string user() const { return root_ + "/user"; }
  std::string staging() const { return root_ + "/staging"; }
  std::string database() const { return root_ + "/accounts.db"; }
  std::string lock() const { return root_ + "/lock"; }
  std::string update_index() const { return root_ + "/update-index.json"; }

 private:
  std::string root_;
};

}  // namespace vexodl::vexohost::internal
