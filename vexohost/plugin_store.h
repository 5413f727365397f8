#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "manifest.h"
#include "staging.h"
#include "state_dir.h"

namespace vexodl::vexohost::internal {

// Where a plug-in came from. Shipped plug-ins belong to the download manager: we never change or
// remove them. User plug-ins are the ones the user installed.
enum class Origin { kShipped, kUser };

struct Plugin {
  Origin origin;
  std::string folder;  // the plug-in's folder, absolute
  Manifest manifest;
};

// PluginStore reads and changes the plug-in folders of one state directory. A name that both
// shipped/ and user/ hold is the shipped plug-in's: the user's copy is ignored and cannot be
// removed through that name. Entries whose names are no valid host names are not plug-ins.
class PluginStore {
 public:
  explicit PluginStore(const StateDir& state) : state_(state) {}

  // Every plug-in whose manifest is valid, sorted by name; broken ones, and user copies hidden by
  // a shipped plug-in, are left out, each with a warning (Report).
  std::vector<Plugin> List() const;

  // The plug-in called `name`. Throws kErrUnknownHost when neither folder holds it, and
  // kErrBrokenManifest, with the reason, when its manifest cannot be used.
  // REQUIRES: IsValidHostName(name).
  Plugin Find(const std::string& name) const;

  // Where the folder of plug-in `name` is, whatever its manifest holds; nullopt when there is none.
  // REQUIRES: IsValidHostName(name).
  std::optional<Origin> Locate(const std::string& name) const;

  // Throws kErrStateDirUnsafe unless nobody but root and our own user could have written the
  // folder of plug-in `name`, any folder on the way to it, or its manifest where it has one
  // (StateDir::CheckTrusted): a change acts on what the manifest says. Throws kErrUnknownHost when
  // there is no such folder. REQUIRES: IsValidHostName(name).
  void CheckTrusted(const std::string& name) const;

  // Removes user plug-in `name`. The folder first leaves user/ in one rename, so readers see the
  // plug-in or nothing, into `staging` under a name that records the deletion (both folders
  // synced); then `forget` runs (dropping what else is stored about it). If a sync or `forget`
  // throws, the folder is put back and the error passes on; but where `forget` throws
  // NotDurableError, what it dropped may stay dropped, so the deletion stays recorded (and
  // `staging` kept) for the next change to finish, and the error passes on. A process killed in
  // between leaves the deletion recorded too (RecordedDeletions). Throws kErrShippedHost for a
  // shipped plug-in, kErrUnknownHost when there is none. REQUIRES: IsValidHostName(name), the
  // store lock held exclusively.
  void RemoveUserPlugin(const std::string& name, Staging& staging,
                        const std::function<void()>& forget);

  // The plug-ins whose deletion was recorded by a RemoveUserPlugin that did not end: their
  // folders have left user/, but what else is stored about them may not be forgotten yet.
  // REQUIRES: the store lock held.
  std::vector<std::string> RecordedDeletions() const;

  // The manifest of the folder `folder` of plug-in `name`; throws kErrBrokenManifest with the
  // reason when it cannot be used.
  static Manifest Load(const std::string& folder, const std::string& name);

 private:
  std::string FolderOf(Origin origin, const std::string& name) const;

  StateDir state_;
};

}  // namespace vexodl::vexohost::internal
