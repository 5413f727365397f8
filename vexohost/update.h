#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <string>

#include "installer.h"
#include "plugin_store.h"
#include "state_dir.h"
#include "update_index.h"

namespace vexodl::vexohost::internal {

// Settings from the environment, for tests, packagers and offline boxes (docs/vexohost.md).
constexpr char kUpdateMirrorVariable[] = "VEXODL_VEXOHOST_UPDATE_MIRROR";
constexpr char kUpdateTimeoutVariable[] = "VEXODL_VEXOHOST_UPDATE_TIMEOUT_MS";

// The URL updates come from: kUpdateMirrorVariable when set, else `url`; ending in "/".
std::string UpdateBase(const std::string& url);

// The version of each plug-in that the last good index kept in `state` offers; empty when none
// is kept, or when the kept one cannot be read, and then `why` says why.
std::map<std::string, std::string> OfferedVersions(const StateDir& state, std::string* why);

// What an update server offers for one plug-in, downloaded and checked.
struct UpdateDownload {
  std::string index_text;           // the index, signature checked
  std::uint64_t serial = 0;         // the index's serial
  bool offered = false;             // whether the index offers the plug-in at all
  std::string unusable;             // when it does not: why its entry was left out, if it has one
  std::optional<IndexEntry> entry;  // set when it offers a version newer than the installed one
  std::string package;              // entry's package, size and digest checked
  std::exception_ptr package_failure;  // why entry's package could not be had, if it could not
};

// Updater brings user plug-ins up to date from an update server, in two steps: Download needs no
// lock and may take as long as the server does; Apply changes the store and needs its lock.
class Updater {
 public:
  explicit Updater(const StateDir& state, PackageLimits limits = {})
      : state_(state), installer_(state, limits), limits_(limits) {}

  // Fetches and checks the index under `base` and, when it offers `name` newer than
  // `installed_version`, that package. Throws kErrUpdate* when the index cannot be had, and
  // kErrUpdateExpired or kErrUpdateOlder when it has expired or is older than the kept one; a
  // package that cannot be had or fails its size or digest (kErrUpdateDigest) is kept as
  // package_failure, since the index is kept all the same. Changes nothing on disk.
  UpdateDownload Download(const std::string& name, const std::string& installed_version,
                          const std::string& base) const;

  // Keeps the downloaded index as the last good one (unless the kept one has the same serial),
  // then installs its package for `plugin` when that is still newer than the installed
  // version (another change may have come in between). Returns whether it installed one; throws
  // kErrUpdateOlder, changing nothing, when another update has kept a newer index meanwhile,
  // kErrUpdateNotOffered when the index does not offer the plug-in, and the package's failure
  // when it had one. A package that is no valid package of that plug-in and version changes
  // nothing but the kept index.
  // REQUIRES: the store lock held exclusively; `plugin` is a user plug-in; a Staging, which takes
  // the package away when the change ends.
  bool Apply(const Plugin& plugin, const UpdateDownload& download) const;

 private:
  std::chrono::milliseconds Timeout() const;
  // Throws kErrUpdateOlder when `serial` is lower than the kept index's. Returns whether an index
  // of `serial` is to replace the kept one: when none is kept, the kept one is damaged (ParseIndex
  // refuses it), or its serial is lower.
  bool CheckSerial(std::uint64_t serial) const;
  std::string FetchPackage(const std::string& name, const IndexEntry& entry,
                           const std::string& base, std::chrono::milliseconds timeout) const;

  StateDir state_;
  Installer installer_;
  PackageLimits limits_;
};

}  // namespace vexodl::vexohost::internal
