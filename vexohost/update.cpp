#include "update.h"

#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include <json/value.h>

#include "error/vexo_error.h"
#include "errors.h"
#include "fetch.h"
#include "file.h"
#include "host_name.h"
#include "package.h"
#include "setting.h"
#include "settings.h"
#include "strict_json.h"
#include "trusted_path.h"
#include "utc_time.h"
#include "version.h"

#ifndef VEXODL_VEXOHOST_UPDATE_KEYS
#define VEXODL_VEXOHOST_UPDATE_KEYS ""
#endif
#ifndef VEXODL_VEXOHOST_UPDATE_KEYS_FILE
#define VEXODL_VEXOHOST_UPDATE_KEYS_FILE "/etc/vexodl/update-keys"
#endif

namespace vexodl::vexohost::internal {

const char kUpdateKeysFile[] = VEXODL_VEXOHOST_UPDATE_KEYS_FILE;

namespace {

// Decodes exactly `out.size()` bytes of hex, with blanks around; false for anything else.
template <std::size_t N>
bool FromHex(const std::string& text, std::array<unsigned char, N>* out) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  const std::size_t last = text.find_last_not_of(" \t\r\n");
  if (first == std::string::npos) return false;
  const std::string hex = text.substr(first, last - first + 1);
  std::size_t length = 0;
  return hex.size() == 2 * N &&
         sodium_hex2bin(out->data(), N, hex.data(), hex.size(), nullptr, &length, nullptr) == 0 &&
         length == N;
}

void InitSodium() {
  if (sodium_init() < 0) Fail(kErrUpdateSignature, "libsodium could not be initialised");
}

std::optional<IndexEntry> ParseEntry(const Json::Value& value, std::string* why) {
  if (!value.isObject()) {
    *why = "is not an object";
    return std::nullopt;
  }
  IndexEntry entry;
  if (!value["version"].isString() || value["version"].asString().empty() ||
      value["version"].asString().size() > kMaxVersionLength) {
    *why = "has no valid \"version\"";
    return std::nullopt;
  }
  entry.version = value["version"].asString();
  // A plain file name: the package is always fetched from beside the index.
  if (!value["package"].isString() || !IsValidHostName(value["package"].asString()) ||
      !IsArchiveName(value["package"].asString())) {
    *why = "has no \"package\" file name ending in .tar.gz, .tgz or .zip";
    return std::nullopt;
  }
  entry.package = value["package"].asString();
  if (!value["size"].isUInt64()) {
    *why = "has no \"size\" in bytes";
    return std::nullopt;
  }
  entry.size = value["size"].asUInt64();
  std::array<unsigned char, 32> digest{};
  if (!value["sha256"].isString() || value["sha256"].asString().size() != 64 ||
      !FromHex(value["sha256"].asString(), &digest)) {
    *why = "has no \"sha256\" of 64 hex digits";
    return std::nullopt;
  }
  char hex[65];
  sodium_bin2hex(hex, sizeof hex, digest.data(), digest.size());
  entry.sha256 = hex;
  return entry;
}

}  // namespace

UpdateIndex ParseIndex(const std::string& text, IndexSource source) {
  Json::Value root = common::ParseStrictJson(text, kMaxIndexBytes).value_or(Json::Value());
  if (!root.isObject()) {
    Fail(kErrUpdateIndex, "the update index is no JSON object");
  }
  if (!root["format"].isInt() || root["format"].asInt() != kIndexFormat) {
    Fail(kErrUpdateIndex, "the update index is not of format " + std::to_string(kIndexFormat));
  }
  UpdateIndex index;
  if (root["serial"].isUInt64()) {
    index.serial = root["serial"].asUInt64();
  } else if (source == IndexSource::kServer) {
    Fail(kErrUpdateIndex, "the update index has no \"serial\" (a whole number from 0)");
  }
  if (source == IndexSource::kServer) {
    const std::optional<std::int64_t> expires =
        root["expires"].isString() ? ParseUtcTime(root["expires"].asString()) : std::nullopt;
    if (!expires) {
      Fail(kErrUpdateIndex,
           "the update index has no \"expires\" time of the form YYYY-MM-DDTHH:MM:SSZ");
    }
    index.expires = root["expires"].asString();
    index.expires_at = *expires;
  }
  const Json::Value& plugins = root["plugins"];
  if (!plugins.isObject()) Fail(kErrUpdateIndex, "the update index has no \"plugins\" object");
  for (const std::string& name : plugins.getMemberNames()) {
    // An entry this build cannot use is skipped, so that one bad entry holds no update back.
    if (!IsValidHostName(name)) continue;
    std::string why;
    if (std::optional<IndexEntry> entry = ParseEntry(plugins[name], &why)) {
      index.plugins.emplace(name, std::move(*entry));
    } else {
      index.unusable.emplace(name, why);
    }
  }
  return index;
}

namespace {

// The text of the keys file at `path`, "" when there is none. Refused unless nobody but root and
// our own user could have written it or any folder above it, as the state directory is.
[[noreturn]] void RefuseKeysFile(const std::string& path, const std::string& why) {
  Fail(kErrUpdateKey, "the update keys of " + PrintablePath(path) + " cannot be trusted: " + why);
}

std::string KeysFileText(const std::string& path) {
  const auto refuse = [&](const std::string& why) { RefuseKeysFile(path, why); };
  const common::PathTrust trust = common::CheckTrustedPath(path, path);
  if (trust.verdict == common::PathTrust::Verdict::kMissing) return "";
  if (trust.verdict == common::PathTrust::Verdict::kFailed) {
    refuse(PrintablePath(trust.where) + ": " + SystemText(trust.error));
  }
  if (!trust.trusted()) refuse(common::DescribeDistrust(trust, "", &PrintablePath));
  try {
    return ReadSmallFile(path, 64 * 1024);
  } catch (const FileReadError& error) {
    RefuseKeysFile(path, error.what());
  }
}

}  // namespace

std::vector<PublicKey> TrustedKeys(const std::string& keys_file) {
  std::vector<PublicKey> keys;
  const auto add = [&](const std::string& text, const std::string& where) {
    PublicKey key{};
    if (!FromHex(text, &key)) {
      Fail(kErrUpdateKey, "the update key of " + where + " is not 64 hex digits");
    }
    keys.push_back(key);
  };
  const std::string built_in = VEXODL_VEXOHOST_UPDATE_KEYS;
  std::size_t start = 0;
  while (start < built_in.size()) {
    std::size_t end = built_in.find_first_of(" ,;", start);
    if (end == std::string::npos) end = built_in.size();
    if (end > start) add(built_in.substr(start, end - start), "this build");
    start = end + 1;
  }
  const std::string text = KeysFileText(keys_file);
  std::size_t number = 0;
  for (std::size_t line_start = 0; line_start < text.size(); ++number) {
    std::size_t line_end = text.find('\n', line_start);
    if (line_end == std::string::npos) line_end = text.size();
    const std::string line = text.substr(line_start, line_end - line_start);
    const std::string key = line.substr(0, line.find('#'));
    if (key.find_first_not_of(" \t\r") != std::string::npos) {
      add(key, PrintablePath(keys_file) + ", line " + std::to_string(number + 1) + ",");
    }
    line_start = line_end + 1;
  }
  if (const auto configured = common::Setting(kUpdateKeyVariable)) {
    add(std::string(*configured), kUpdateKeyVariable);
  }
  return keys;
}

void CheckSignature(const std::string& text, const std::string& signature,
                    const std::vector<PublicKey>& keys) {
  InitSodium();
  std::array<unsigned char, crypto_sign_BYTES> bytes{};
  if (!FromHex(signature, &bytes)) {
    Fail(kErrUpdateSignature, "the update index signature is not 128 hex digits");
  }
  for (const PublicKey& key : keys) {
    if (crypto_sign_verify_detached(bytes.data(),
                                    reinterpret_cast<const unsigned char*>(text.data()),
                                    text.size(), key.data()) == 0) {
      return;
    }
  }
  Fail(kErrUpdateSignature, "the update index is not signed by a trusted key");
}

std::string Sha256Hex(const std::string& bytes) {
  InitSodium();
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  char hex[2 * crypto_hash_sha256_BYTES + 1];
  sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
  return hex;
}

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
  download.serial = *index.serial;
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
