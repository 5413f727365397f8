#include "update.h"

#include <cerrno>
#include <exception>

#include "error/vexo_error.h"
#include "errors.h"
#include "fetch.h"
#include "file.h"
#include "setting.h"
#include "settings.h"
#include "update_keys.h"
#include "version.h"

namespace vexodl::vexohost::internal {

std::string UpdateBase(const std::string& url) {
  std::string base(common::Setting(kUpdateMirrorVariable).value_or(url));
  if (base.empty() || base.back() != '/') base += '/';
  return base;
}

namespace {

// The kept index, "" when none is kept. Throws FileReadError when it cannot be read, and
// kErrStateDirUnsafe when another user could have written it: a planted index could block every
// update with the highest serial, or offer versions that do not exist.
std::string ReadKeptIndex(const StateDir& state) {
  if (!state.CheckTrusted(state.update_index())) return "";
  try {
    return ReadSmallFile(state.update_index(), kMaxIndexBytes);
  } catch (const FileReadError& error) {
    if (error.error() != ENOENT) throw;
    return "";
  }
}

}  // namespace

std::map<std::string, std::string> OfferedVersions(const StateDir& state, std::string* why) {
  std::map<std::string, std::string> versions;
  std::string text;
  try {
    text = ReadKeptIndex(state);
  } catch (const vexodl::VexoError& error) {
    *why = error.what();
  }
  if (text.empty()) return versions;
  try {
    for (const auto& [name, entry] : ParseIndex(text, IndexSource::kKept).plugins) {
      versions.emplace(name, entry.version);
    }
  } catch (const std::exception& error) {
    // Only a good index is ever kept; a damaged one tells nothing, but that it is damaged.
    *why = PrintablePath(state.update_index()) + ": " + error.what();
  }
  return versions;
}

std::chrono::milliseconds Updater::Timeout() const {
  return TimeoutSetting(kUpdateTimeoutVariable, std::chrono::milliseconds(120000),
                        std::chrono::milliseconds(3600000));
}

bool Updater::CheckSerial(std::uint64_t serial) const {
  // Refusing an older index rests on this file: one that is there but cannot be read stops the
  // update rather than counting as none.
  const std::string text = ReadKeptIndex(state_);
  if (text.empty()) return true;
  std::optional<std::uint64_t> kept;
  try {
    kept = ParseIndex(text, IndexSource::kKept).serial;
  } catch (const std::exception&) {
    // Only a good index is ever kept; a damaged one tells nothing, and a good one replaces it.
  }
  if (kept && serial < *kept) {
    Fail(kErrUpdateOlder, "the update index has serial " + std::to_string(serial) +
                              ", lower than the kept index's " + std::to_string(*kept));
  }
  return !kept || serial > *kept;
}

UpdateDownload Updater::Download(const std::string& name, const std::string& installed_version,
                                 const std::string& base) const {
  const std::vector<PublicKey> keys = TrustedKeys();
  if (keys.empty()) {
    Fail(kErrUpdateKey, std::string("no update key is trusted: put the update server's public key "
                                    "(64 hex digits) into ") +
                            PrintablePath(kUpdateKeysFile));
  }
  const std::chrono::milliseconds timeout = Timeout();
  UpdateDownload download;
  download.index_text = Fetch(base + kIndexFile, kMaxIndexBytes, timeout);
  const std::string signature = Fetch(base + kSignatureFile, kMaxSignatureBytes, timeout);
  CheckSignature(download.index_text, signature, keys);
  const UpdateIndex index = ParseIndex(download.index_text, IndexSource::kServer);
  const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
  // A replayed old index, validly signed, would hide newer versions or offer superseded ones.
  if (index.expires_at <= now) {
    Fail(kErrUpdateExpired, "the update index expired at " + index.expires);
  }
  download.serial = index.serial;
  CheckSerial(download.serial);

  const auto offered = index.plugins.find(name);
  download.offered = offered != index.plugins.end();
  if (const auto unusable = index.unusable.find(name); unusable != index.unusable.end()) {
    download.unusable = unusable->second;
  }
  if (!download.offered || CompareVersions(offered->second.version, installed_version) <= 0) {
    return download;
  }
  download.entry = offered->second;
  try {
    download.package = FetchPackage(name, *download.entry, base, timeout);
  } catch (const vexodl::VexoError&) {
    download.package_failure = std::current_exception();
  }
  return download;
}

std::string Updater::FetchPackage(const std::string& name, const IndexEntry& entry,
                                  const std::string& base,
                                  std::chrono::milliseconds timeout) const {
  if (entry.size > limits_.max_total_bytes) {
    Fail(kErrUpdateDigest, "the package of \"" + name + "\" is larger than " +
                               std::to_string(limits_.max_total_bytes) + " bytes");
  }
  bool too_large = false;
  std::string package = Fetch(base + entry.package, entry.size, timeout, &too_large);
  if (too_large) {
    Fail(kErrUpdateDigest, "the package of \"" + name + "\" is larger than the " +
                               std::to_string(entry.size) + " bytes the index says");
  }
  if (package.size() != entry.size) {
    Fail(kErrUpdateDigest, "the package of \"" + name + "\" has " + std::to_string(package.size()) +
                               " bytes, the index says " + std::to_string(entry.size));
  }
  if (Sha256Hex(package) != entry.sha256) {
    Fail(kErrUpdateDigest, "the package of \"" + name + "\" does not match its SHA-256");
  }
  return package;
}

bool Updater::Apply(const Plugin& plugin, const UpdateDownload& download) const {
  // Checked again: another update may have kept a newer index since this one was downloaded.
  if (CheckSerial(download.serial)) {
    PublishFile(state_.staging(), state_.update_index(), download.index_text, 0644);
  }
  const std::string& name = plugin.manifest.name;
  if (!download.offered) {
    Fail(kErrUpdateNotOffered,
         "the update server offers no host plug-in \"" + name + "\"" +
             (download.unusable.empty() ? "" : ": its entry in the index " + download.unusable));
  }
  if (!download.entry || CompareVersions(download.entry->version, plugin.manifest.version) <= 0) {
    return false;
  }
  if (download.package_failure) std::rethrow_exception(download.package_failure);
  // The unpacker knows the archive's kind by the end of its name.
  const std::string path =
      WriteNewFile(state_.staging(), download.package, 0600, "-" + download.entry->package);
  installer_.Install(path, name, download.entry->version);
  return true;
}

}  // namespace vexodl::vexohost::internal
