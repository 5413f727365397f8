#pragma once

#include <functional>
#include <string>

#include "manifest.h"
#include "package.h"
#include "state_dir.h"

namespace vexodl::vexohost::internal {

// Installer puts plug-in packages into user/ of one state directory. An install is unpacked and
// checked in staging/, beside user/ on the same file system, and then switched into place in one
// rename (renameat2 RENAME_EXCHANGE when an older copy is there), so that readers see the old
// plug-in or the new one, never a mix, and an install that fails or is killed changes nothing
// in user/. What an install puts into staging/ leaves with the caller's Staging.
//
// REQUIRES for every call: the store lock held exclusively, and a Staging.
class Installer {
 public:
  // What Install put in place.
  struct Installed {
    Manifest manifest;
    // The version of the user plug-in it replaced, or "" when there was none, or none whose
    // manifest could be read.
    std::string replaced_version;
  };

  // For tests only: the points of an install where `test_hook` is called, to look at the store
  // there (after unpacking and checking, and after the switch). The service passes none.
  enum class Stage { kChecked, kSwitched };
  using TestHook = std::function<void(Stage)>;

  explicit Installer(const StateDir& state, PackageLimits limits = {}, TestHook test_hook = {})
      : state_(state), limits_(limits), test_hook_(std::move(test_hook)) {}

  // Installs the package `source` (see UnpackPackage), whose top holds manifest.json, or whose
  // only entry is a folder that does. Returns its manifest and what it replaced. Throws
  // kErrPackageManifest when the manifest is missing or invalid (a verifier it names must be an
  // executable regular file of the package), kErrShippedHost when a shipped plug-in has its name or
  // the same name in another case, kErrPackageMismatch when `expected_name` or `expected_version`
  // is not empty and differs, and what UnpackPackage throws.
  Installed Install(const std::string& source, const std::string& expected_name = "",
                    const std::string& expected_version = "") const;

 private:
  void CallTestHook(Stage stage) const {
    if (test_hook_) test_hook_(stage);
  }

  StateDir state_;
  PackageLimits limits_;
  TestHook test_hook_;
};

}  // namespace vexodl::vexohost::internal
