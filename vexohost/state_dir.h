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
  // empty. Throws kErrStateDir for a relative path: a service has no meaningful working directory.
  static StateDir FromEnvironment();

  // Throws kErrStateDir unless the directory exists. The service never creates it: that is the
  // installation's job, and a missing one means a broken installation or a mistyped variable.
  void Check() const;

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
