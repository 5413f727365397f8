#include "plugin_store.h"

#include <syslog.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <map>
#include <set>

#include "errors.h"
#include "file.h"
#include "host_name.h"

namespace vexodl::vexohost::internal {

namespace {

// A user plug-in's folder in staging/ under this prefix and its name records its deletion.
constexpr char kDeletedPrefix[] = "deleted-";

}  // namespace

std::string PluginStore::FolderOf(Origin origin, const std::string& name) const {
  return (origin == Origin::kShipped ? state_.shipped() : state_.user()) + "/" + name;
}

Manifest PluginStore::Load(const std::string& folder, const std::string& name) {
  const std::string path = folder + "/" + kManifestFile;
  try {
    return ParseManifest(ReadSmallFile(path, kMaxManifestBytes), name);
  } catch (const FileReadError& error) {
    Fail(kErrBrokenManifest, error.what());
  } catch (const VexoError& error) {
    Fail(kErrBrokenManifest, path + ": " + error.what());
  }
}

std::vector<Plugin> PluginStore::List() const {
  std::map<std::string, Plugin> found;
  // Names that a shipped folder holds, as Locate sees them: a broken shipped plug-in keeps its
  // name too, so that the user's copy is not listed under a name that AccountGet answers with 2003.
  std::set<std::string> shipped;
  // Shipped first: where a user plug-in has the same name, the shipped one is kept.
  for (const Origin origin : {Origin::kShipped, Origin::kUser}) {
    const std::string parent = origin == Origin::kShipped ? state_.shipped() : state_.user();
    for (const std::string& name : ListDirectory(parent)) {
      if (!IsValidHostName(name)) continue;
      const std::string folder = parent + "/" + name;
      if (shipped.count(name) != 0) {
        Report(LOG_WARNING, "list", name,
               "left out " + folder + ": a shipped plug-in has its name");
        continue;
      }
      // No stat of the folder first: where it is no directory, its manifest cannot be read
      // either, and the entry is passed over all the same.
      Manifest manifest;
      try {
        manifest = Load(folder, name);
      } catch (const VexoError& error) {
        Report(LOG_WARNING, "list", name, std::string("left out: ") + error.what());
        if (origin == Origin::kShipped && KindOf(folder) == FileKind::kDirectory) {
          shipped.insert(name);
        }
        continue;
      }
      if (origin == Origin::kShipped) shipped.insert(name);
      found.emplace(name, Plugin{origin, folder, std::move(manifest)});
    }
  }
  std::vector<Plugin> plugins;
  plugins.reserve(found.size());
  for (auto& entry : found) plugins.push_back(std::move(entry.second));
  return plugins;
}

std::optional<Origin> PluginStore::Locate(const std::string& name) const {
  for (const Origin origin : {Origin::kShipped, Origin::kUser}) {
    if (KindOf(FolderOf(origin, name)) == FileKind::kDirectory) return origin;
  }
  return std::nullopt;
}

Plugin PluginStore::Find(const std::string& name) const {
  const std::optional<Origin> origin = Locate(name);
  if (!origin) Fail(kErrUnknownHost, "no host plug-in named \"" + name + "\"");
  Plugin plugin{*origin, FolderOf(*origin, name), {}};
  try {
    plugin.manifest = Load(plugin.folder, name);
  } catch (const VexoError& error) {
    Fail(kErrBrokenManifest, "host plug-in \"" + name + "\" is broken: " + error.what());
  }
  return plugin;
}

void PluginStore::CheckTrusted(const std::string& name) const {
  const std::optional<Origin> origin = Locate(name);
  if (!origin || !state_.CheckTrusted(FolderOf(*origin, name))) {
    Fail(kErrUnknownHost, "no host plug-in named \"" + name + "\"");
  }
  state_.CheckTrusted(FolderOf(*origin, name) + "/" + kManifestFile);
}

std::vector<std::string> PluginStore::RecordedDeletions() const {
  std::vector<std::string> names;
  for (const std::string& entry : ListDirectory(state_.staging())) {
    if (entry.compare(0, std::strlen(kDeletedPrefix), kDeletedPrefix) != 0) continue;
    const std::string name = entry.substr(std::strlen(kDeletedPrefix));
    if (IsValidHostName(name)) names.push_back(name);
  }
  return names;
}

void PluginStore::RemoveUserPlugin(const std::string& name, Staging& staging,
                                   const std::function<void()>& forget) {
  const std::optional<Origin> origin = Locate(name);
  if (!origin) Fail(kErrUnknownHost, "no host plug-in named \"" + name + "\"");
  if (*origin == Origin::kShipped) {
    Fail(kErrShippedHost, "host plug-in \"" + name +
                              "\" is shipped with the download manager and cannot be removed");
  }
  const std::string folder = FolderOf(Origin::kUser, name);
  // `staging` removes it from there when the change ends.
  const std::string removed = state_.staging() + "/" + kDeletedPrefix + name;
  Rename(folder, removed);
  try {
    // The record on disk before anything is forgotten: after a power cut, the plug-in is either
    // still there with its account, or its deletion is recorded. A record that cannot be synced
    // is no record: the caller's Staging would remove the folder and leave the account behind.
    SyncFolder(state_.user());
    SyncFolder(state_.staging());
    forget();
  } catch (const NotDurableError&) {
    // Forgotten, but a power cut may bring it back: the record makes the next change forget it
    // again (the ChangeLock of vexohost/handler.cpp), durably, before anything else.
    staging.Keep();
    throw;
  } catch (...) {
    try {
      Rename(removed, folder);
      SyncFolder(state_.user());
    } catch (const std::exception& error) {
      // The first error is the one thrown; this one leaves the plug-in in staging/, which the
      // change empties.
      Report(LOG_ERR, "delete", name,
             folder + " is lost: putting it back failed: " + std::string(error.what()));
    }
    throw;
  }
}

}  // namespace vexodl::vexohost::internal
