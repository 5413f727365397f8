#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vexodl::vexohost::internal {

// The update index's format (docs/vexohost.md, "Update server"): what the service reads, and
// what vexohost-index-tool and the tests write, in one place.

// What the update server holds under its URL.
constexpr char kIndexFile[] = "index.json";
constexpr char kSignatureFile[] = "index.json.sig";
constexpr int kIndexFormat = 1;
constexpr std::uint64_t kMaxIndexBytes = 1 << 20;
constexpr std::uint64_t kMaxSignatureBytes = 1024;

// An Ed25519 public key, as the service trusts it.
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

// Throws kErrUpdateSignature unless `signature` (128 hex digits, blanks around allowed) is an
// Ed25519 signature of `text` by one of `keys`.
void CheckSignature(const std::string& text, const std::string& signature,
                    const std::vector<PublicKey>& keys);

// Lower-case hex of the SHA-256 of `bytes`.
std::string Sha256Hex(const std::string& bytes);

// Lower-case hex of `size` bytes, as the index, its signature and keys are written.
std::string ToHex(const unsigned char* bytes, std::size_t size);

// Decodes exactly `size` bytes of hex, with blanks around, into `out`; false for anything else.
bool FromHex(const std::string& text, unsigned char* out, std::size_t size);

}  // namespace vexodl::vexohost::internal
