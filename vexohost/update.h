#pragma once

#include <array>
#include <chrono>
#include <cstdint>
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

// Compares two plug-in versions: runs of digits as numbers (so 1.10 is newer than 1.9, and 1.01
// equals 1.1), everything else byte by byte, a version that goes on after the other ends newer.
// Negative, zero or positive, like strcmp.
int CompareVersions(const std::string& a, const std::string& b);

// One plug-in as the index offers it.
struct IndexEntry {
  std::string version;
  std::string package;  // a file name beside the index
  std::uint64_t size = 0;
  std::string sha256;  // lower-case hex
};
using UpdateIndex = std::map<std::string, IndexEntry>;

// Parses an index (docs/vexohost.md); throws kErrUpdateIndex saying what is wrong.
UpdateIndex ParseIndex(const std::string& text);

// The keys whose signatures this build accepts: the built-in ones and kUpdateKeyVariable's.
// Throws kErrUpdateKey when a key is not 64 hex digits.
std::vector<PublicKey> TrustedKeys();

// Throws kErrUpdateSignature unless `signature` (128 hex digits, blanks around allowed) is an
// Ed25519 signature of `text` by one of `keys`.
void CheckSignature(const std::string& text, const std::string& signature,
                    const std::vector<PublicKey>& keys);

// Lower-case hex of the SHA-256 of `bytes`.
std::string Sha256Hex(const std::string& bytes);

// The URL updates come from: kUpdateMirrorVariable when set, else `url`; ending in "/".
std::string UpdateBase(const std::string& url);

// The version of each plug-in that the last good index kept in `state` offers; empty when none
// is kept.
std::map<std::string, std::string> OfferedVersions(const StateDir& state);

// Updater brings user plug-ins up to date from an update server.
class Updater {
 public:
  explicit Updater(const StateDir& state, PackageLimits limits = {})
      : state_(state), installer_(state, limits), limits_(limits) {}

  // Fetches and checks the index under `base`, keeps it as the last good one, and installs the
  // package it offers for `plugin` when that is newer than the installed version. Returns whether
  // it installed one. Nothing changes but the kept index when the package fails its size or
  // digest (kErrUpdateDigest), or is no valid package of that plug-in and version.
  // REQUIRES: the store lock held exclusively; `plugin` is a user plug-in; staging/ is emptied by
  // the caller when the change ends.
  bool Update(const Plugin& plugin, const std::string& base) const;

 private:
  std::chrono::milliseconds Timeout() const;

  StateDir state_;
  Installer installer_;
  PackageLimits limits_;
};

}  // namespace vexodl::vexohost::internal
