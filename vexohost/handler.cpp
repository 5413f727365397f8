// vexodl::vexohost::Handler: the native host-plugin service as libvexodlfilehosting calls it.
// Each call resolves the state directory, checks the host name before anything else, and then
// works through the store's pieces: PluginStore (plug-in folders), AccountDb (accounts and enabled
// states), StoreLock (the store-wide lock). docs/vexohost.md describes the whole.

// outside/vexohost.h carries no export macro: everything it declares is exported. What it includes
// comes first, so that only its own declarations fall under the pragma.
#include <memory>
#include <string>

#include <json/value.h>

#pragma GCC visibility push(default)
#include "outside/vexohost.h"
#pragma GCC visibility pop

#include <syslog.h>

#include <chrono>
#include <exception>
#include <map>
#include <optional>
#include <vector>

#include "account_db.h"
#include "error/vexo_error.h"
#include "errors.h"
#include "host_name.h"
#include "installer.h"
#include "lock.h"
#include "plugin_store.h"
#include "program_runner.h"
#include "staging.h"
#include "state_dir.h"
#include "update.h"
#include "verifier.h"
#include "version.h"

namespace vexodl::vexohost {

using internal::AccountDb;
using internal::CheckHostName;
using internal::HostSettings;
using internal::Installer;
using internal::Plugin;
using internal::PluginStore;
using internal::Staging;
using internal::StateDir;
using internal::StoreLock;

namespace {

// The newest version of `plugin` that the service knows of: what the last good update index
// offers when that is newer, otherwise the installed version.
std::string NewestKnownVersion(const Plugin& plugin,
                               const std::map<std::string, std::string>& offered) {
  const auto found = offered.find(plugin.manifest.name);
  if (found != offered.end() &&
      internal::CompareVersions(found->second, plugin.manifest.version) > 0) {
    return found->second;
  }
  return plugin.manifest.version;
}

// The service host object that libvexodlfilehosting reads. The password never leaves the store.
Json::Value HostObject(const Plugin& plugin, const HostSettings& settings,
                       const std::map<std::string, std::string>& offered) {
  Json::Value host(Json::objectValue);
  host["name"] = plugin.manifest.name;
  host["description"] = plugin.manifest.description;
  host["version"] = plugin.manifest.version;
  host["newversion"] = NewestKnownVersion(plugin, offered);
  // A host is enabled until the user switches it off.
  host["enable"] = settings.enabled.value_or(true);
  host["user"] = plugin.origin == internal::Origin::kUser;
  host["authentication"] = plugin.manifest.authentication ? "yes" : "no";
  if (settings.username) host["username"] = *settings.username;
  return host;
}

// The account database for a read: a read that finds it needing a write first (a change cut off
// by a crash) writes only where a change could.
std::unique_ptr<AccountDb> OpenForReading(const StateDir& state) {
  return AccountDb::OpenForReading(state.database(), [&state] { state.CheckSafe(); });
}

HostSettings StoredSettings(const StateDir& state, const std::string& name) {
  std::unique_ptr<AccountDb> db = OpenForReading(state);
  return db ? db->Get(name) : HostSettings{};
}

// What OfferedVersions gives, for public call `call` of the service for `host`: a kept index
// that cannot be read hides every newer version, which is said in a warning.
std::map<std::string, std::string> Offered(const StateDir& state, const char* call,
                                           const std::string& host) {
  std::string why;
  std::map<std::string, std::string> offered = internal::OfferedVersions(state, &why);
  if (!why.empty()) internal::Report(LOG_WARNING, call, host, "newer versions unknown: " + why);
  return offered;
}

// The store locked for a change: shared where only accounts change, exclusive where plug-in
// folders do. Every change first forgets what is stored about each plug-in whose deletion a killed
// HostDelete recorded, so that no change sees its account (a plug-in installed under its name
// later would get it back); the one that next empties staging/ drops the records with it.
class ChangeLock {
 public:
  ChangeLock(const StateDir& state, StoreLock::Mode mode) : lock_(state.lock(), mode) {
    for (const std::string& name : PluginStore(state).RecordedDeletions()) {
      if (std::unique_ptr<AccountDb> db = AccountDb::Open(state.database(), /*create=*/false)) {
        db->Forget(name);
      }
    }
  }

 private:
  StoreLock lock_;
};

// Plug-in `host` of `store`, where nobody but root and our own user could have changed it.
Plugin FindTrusted(const PluginStore& store, const std::string& host) {
  store.CheckTrusted(host);
  return store.Find(host);
}

// Runs `body`, public call `call` of the service for `host`. An error that leaves the service is
// reported first: libvexodlfilehosting passes on no more than the code of some.
template <typename Body>
int Reporting(const char* call, const std::string& host, Body&& body) {
  try {
    return body();
  } catch (const VexoError& error) {
    internal::Report(LOG_ERR, call, host,
                     std::string(error.what()) + " (error " + std::to_string(error.code) + ")");
    throw;
  } catch (const std::exception& error) {
    internal::Report(LOG_ERR, call, host, error.what());
    throw;
  }
}

}  // namespace

struct Handler::Impl {
  std::string host;

  // The state directory, resolved and checked to exist, for a call that only reads.
  static StateDir State() { return StateDir::FromEnvironment(); }

  // The same for a call that writes or runs a verifier: only where no other user could have put
  // files of theirs in place.
  static StateDir SafeState() {
    StateDir state = StateDir::FromEnvironment();
    state.CheckSafe();
    return state;
  }
};

Handler::Handler(const std::string& host) : impl_(new Impl{host}) {}

Handler::~Handler() = default;

int Handler::List(Json::Value& out) {
  return Reporting("list", "", [&] {
    const StateDir state = Impl::State();
    const std::vector<Plugin> plugins = PluginStore(state).List();
    const std::map<std::string, std::string> offered = Offered(state, "list", "");
    std::map<std::string, HostSettings> stored;
    if (std::unique_ptr<AccountDb> db = OpenForReading(state)) {
      stored = db->GetAll();
    }
    Json::Value hosts(Json::arrayValue);
    for (const Plugin& plugin : plugins) {
      const auto settings = stored.find(plugin.manifest.name);
      hosts.append(HostObject(plugin, settings == stored.end() ? HostSettings{} : settings->second,
                              offered));
    }
    out.swap(hosts);
    return 0;
  });
}

int Handler::AccountGet(Json::Value& out) {
  return Reporting("get", impl_->host, [&] {
    CheckHostName(impl_->host);
    const StateDir state = Impl::State();
    const Plugin plugin = PluginStore(state).Find(impl_->host);
    Json::Value host =
        HostObject(plugin, StoredSettings(state, impl_->host), Offered(state, "get", impl_->host));
    out.swap(host);
    return 0;
  });
}

int Handler::AccountSet(const std::string& username, const std::string& password) {
  return Reporting("set", impl_->host, [&] {
    CheckHostName(impl_->host);
    const StateDir state = Impl::SafeState();
    const ChangeLock lock(state, StoreLock::Mode::kShared);
    FindTrusted(PluginStore(state), impl_->host);
    std::unique_ptr<AccountDb> db = AccountDb::Open(state.database(), /*create=*/true);
    // An empty user name is no account: storing one clears the account, as a cleared form would.
    if (username.empty()) {
      db->RemoveAccount(impl_->host);
    } else {
      db->SetAccount(impl_->host, username, password);
    }
    return 0;
  });
}

int Handler::AccountVerify(Json::Value& info, const std::string& username,
                           const std::string& password) {
  return Reporting("verify", impl_->host, [&] {
    CheckHostName(impl_->host);
    const std::chrono::milliseconds timeout = internal::VerifyTimeout();
    const std::optional<common::RunAs> user = internal::VerifierUser();
    // No lock: the verifier runs from the folder it was found in, even if an install swaps that
    // folder meanwhile, and may take long.
    const StateDir state = Impl::SafeState();
    const Plugin plugin = FindTrusted(PluginStore(state), impl_->host);
    // It runs with the password: a verifier that is missing is the run's to report.
    if (!plugin.manifest.verifier.empty()) {
      state.CheckTrusted(plugin.folder + "/" + plugin.manifest.verifier);
    }
    const int result = internal::RunVerifier(plugin, username, password, timeout, user, &info);
    // The library reports a run that decided nothing as a bare code, without info.
    if (result < 0) {
      internal::Report(
          LOG_ERR, "verify", impl_->host,
          info["error"].asString() + " (error " + std::to_string(VEXODL_ERR_VERIFY_ACCOUNT) + ")");
    }
    return result;
  });
}

int Handler::HostAdd(const std::string& source) {
  return Reporting("install", "", [&] {
    const StateDir state = Impl::SafeState();
    const ChangeLock lock(state, StoreLock::Mode::kExclusive);
    const Staging staging(state);
    const Installer::Installed installed = Installer(state).Install(source);
    const std::string& was = installed.replaced_version;
    internal::Report(LOG_INFO, "install", "",
                     "installed " + installed.manifest.name + " " + installed.manifest.version +
                         (was.empty() ? "" : " (was " + was + ")"));
    return 0;
  });
}

int Handler::HostDelete() {
  return Reporting("delete", impl_->host, [&] {
    CheckHostName(impl_->host);
    const StateDir state = Impl::SafeState();
    const ChangeLock lock(state, StoreLock::Mode::kExclusive);
    Staging staging(state);
    PluginStore store(state);
    store.CheckTrusted(impl_->host);
    store.RemoveUserPlugin(impl_->host, staging, [&] {
      if (std::unique_ptr<AccountDb> db = AccountDb::Open(state.database(), /*create=*/false)) {
        db->Forget(impl_->host);
      }
    });
    internal::Report(LOG_INFO, "delete", impl_->host, "deleted " + impl_->host);
    return 0;
  });
}

int Handler::HostUpdate(const std::string& url) {
  return Reporting("update", impl_->host, [&] {
    CheckHostName(impl_->host);
    const StateDir state = Impl::SafeState();
    const auto updatable = [&] {
      Plugin plugin = FindTrusted(PluginStore(state), impl_->host);
      if (plugin.origin == internal::Origin::kShipped) {
        internal::Fail(internal::kErrShippedHost,
                       "host plug-in \"" + impl_->host +
                           "\" is shipped with the download manager and updated with it");
      }
      return plugin;
    };
    const internal::Updater updater(state);
    // A download may take minutes: it happens before the store is locked for the change, so that
    // other changes need not wait for the server; Apply checks the index's serial and the versions
    // again under the lock.
    const Plugin installed = updatable();
    const internal::UpdateDownload download = updater.Download(
        installed.manifest.name, installed.manifest.version, internal::UpdateBase(url));
    const ChangeLock lock(state, StoreLock::Mode::kExclusive);
    const Plugin plugin = updatable();
    const Staging staging(state);
    const bool updated = updater.Apply(plugin, download);
    const std::string& version = plugin.manifest.version;
    internal::Report(
        LOG_INFO, "update", impl_->host,
        updated ? "updated " + impl_->host + " " + version + " -> " + download.entry->version
                : impl_->host + " " + version + " is up to date");
    return 0;
  });
}

int Handler::HostEnabledSet(bool enabled) {
  return Reporting(enabled ? "enable" : "disable", impl_->host, [&] {
    CheckHostName(impl_->host);
    const StateDir state = Impl::SafeState();
    const ChangeLock lock(state, StoreLock::Mode::kShared);
    FindTrusted(PluginStore(state), impl_->host);
    AccountDb::Open(state.database(), /*create=*/true)->SetEnabled(impl_->host, enabled);
    return 0;
  });
}

int Handler::HostRemoveAccount() {
  return Reporting("remove-account", impl_->host, [&] {
    CheckHostName(impl_->host);
    const StateDir state = Impl::SafeState();
    const ChangeLock lock(state, StoreLock::Mode::kShared);
    // A broken plug-in's account can still be removed: removing needs no manifest.
    PluginStore(state).CheckTrusted(impl_->host);
    if (std::unique_ptr<AccountDb> db = AccountDb::Open(state.database(), /*create=*/false)) {
      db->RemoveAccount(impl_->host);
    }
    return 0;
  });
}

}  // namespace vexodl::vexohost
