#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "installer.h"
#include "plugin_store.h"
#include "state_dir.h"

namespace vexodl::vexohost::internal {

// Settings from the environment, for tests, packagers and offline boxes (docs/vexohost.md).
constexpr char kUpdateMirrorVariable[] = "VEXODL_VEXOHOST_UPDATE_MIRROR";
constexpr char kUpdateKeyVariable[] = "VEXODL_VEXOHOST_UPDATE_KEY";
constexpr char kUpdateTimeoutVariable[] = "VEXODL_VEXOHOST_UPDATE_TIMEOUT_MS";

// What the update server holds under its URL.
constexpr char kIndexFile[] = "index.json";
constexpr char kSignatureFile[] = "index.json.sig";
constexpr int kIndexFormat = 1;
constexpr std::uint64_t kMaxIndexBytes = 1 << 20;
constexpr std::uint64_t kMaxSignatureBytes = 1024;

using PublicKey = std::array<unsigned char, 32>;

// One plug-in as the index offers it.
struct IndexEntry {
  std::string version;
  std::string package;  // a file name beside the index
  std::uint64_t size = 0;
  std::string sha256;  // lower-case hex
};

// An index as ParseIndex reads it.
struct UpdateIndex {
  // Grows from one index to the next; nullopt only in a kept index from a build before serials.
  std::optional<std::uint64_t> serial;
  // When the index stops being valid: as written, and in seconds since 1970-01-01T00:00:00Z.
  // Only read from a fetched index.
  std::string expires;
  std::int64_t expires_at = 0;
  std::map<std::string, IndexEntry> plugins;
  std::map<std::string, std::string> unusable;  // entries left out of `plugins`, with why
};

// Where an index comes from: an update server, or update-index.json, which a build before
// serials kept without "serial" and "expires".
enum class IndexSource { kServer, kKept };

// Parses an index (docs/vexohost.md); throws kErrUpdateIndex saying what is wrong. A kept index
// without a valid "serial" has none; "expires" is read from a server's index only.
UpdateIndex ParseIndex(const std::string& text, IndexSource source);

// The file of trusted keys that a packaged box keeps (the CMake setting
// VEXODL_VEXOHOST_UPDATE_KEYS_FILE): one key of 64 hex digits a line, '#' comments, blank lines.
extern const char kUpdateKeysFile[];

// The keys whose signatures this build accepts: the built-in ones, those of `keys_file` when it
// exists, and kUpdateKeyVariable's. Throws kErrUpdateKey when a key is not 64 hex digits, and
// when another user could have written `keys_file` or a folder above it (a key of theirs would
// let them sign any plug-in), naming the file and the fix.
std::vector<PublicKey> TrustedKeys(const std::string& keys_file = kUpdateKeysFile);

// Throws kErrUpdateSignature unless `signature` (128 hex digits, blanks around allowed) is an
// Ed25519 signature of `text` by one of `keys`.
void CheckSignature(const std::string& text, const std::string& signature,
                    const std::vector<PublicKey>& keys);

// Lower-case hex of the SHA-256 of `bytes`.
std::string Sha256Hex(const std::string& bytes);

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
  // of `serial` is to replace the kept one: when none is kept, the kept one has no serial, or a
  // lower one.
  bool CheckSerial(std::uint64_t serial) const;
  std::string FetchPackage(const std::string& name, const IndexEntry& entry,
                           const std::string& base, std::chrono::milliseconds timeout) const;

  StateDir state_;
  Installer installer_;
  PackageLimits limits_;
};

}  // namespace vexodl::vexohost::internal
