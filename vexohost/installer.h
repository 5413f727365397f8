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

  // Points where a test may stop an install: after unpacking and checking, and after the switch.
  enum class Stage { kChecked, kSwitched };

  explicit Installer(const StateDir& state, PackageLimits limits = {},
                     std::function<void(Stage)> at_stage = {})
      : state_(state), limits_(limits), at_stage_(std::move(at_stage)) {}

  // Installs the package `source` (see UnpackPackage), whose top holds manifest.json, or whose
  // only entry is a folder that does. Returns its manifest and what it replaced. Throws
  // kErrPackageManifest when the manifest is missing or invalid (a verifier it names must be an
  // executable regular file of the package), kErrShippedHost when a shipped plug-in has its name or
  // the same name in another case, kErrPackageMismatch when `expected_name` or `expected_version`
  // is not empty and differs, and what UnpackPackage throws.
  Installed Install(const std::string& source, const std::string& expected_name = "",
                    const std::string& expected_version = "") const;

 private:
  void Reached(Stage stage) const {
    if (at_stage_) at_stage_(stage);
  }

  StateDir state_;
  PackageLimits limits_;
  std::function<void(Stage)> at_stage_;
};

}  // namespace vexodl::vexohost::internal
