#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <json/value.h>

namespace vexodl::vexohost::internal {

// The update index's format (docs/vexohost.md, "Update server"): what the service reads, and
// what vexohost-index-tool and the tests write, in one place.

// What the update server holds under its URL.
constexpr char kIndexFile[] = "index.json";
constexpr char kSignatureFile[] = "index.json.sig";
constexpr int kIndexFormat = 1;
constexpr std::uint64_t kMaxIndexBytes = 1 << 20;
constexpr std::uint64_t kMaxSignatureBytes = 1024;

// An Ed25519 key pair: the public key, as the service trusts it, and the secret one, which signs.
using PublicKey = std::array<unsigned char, 32>;
using SecretKey = std::array<unsigned char, 64>;
struct KeyPair {
  PublicKey public_key{};
  SecretKey secret_key{};
};

// One plug-in as the index offers it.
struct IndexEntry {
  std::string version;
  std::string package;  // a file name beside the index
  std::uint64_t size = 0;
  std::string sha256;  // lower-case hex
};

// An index as ParseIndex reads it.
struct UpdateIndex {
  std::uint64_t serial = 0;  // grows from one index to the next
  // When the index stops being valid: as written, and in seconds since 1970-01-01T00:00:00Z.
  // Only read from a fetched index.
  std::string expires;
  std::int64_t expires_at = 0;
  std::map<std::string, IndexEntry> plugins;
  std::map<std::string, std::string> unusable;  // entries left out of `plugins`, with why
};

// Where an index comes from: an update server, or update-index.json, the last good index of one,
// kept even once it has expired, for the versions it offered and the serial to beat.
enum class IndexSource { kServer, kKept };

// Parses an index (docs/vexohost.md); throws kErrUpdateIndex saying what is wrong. "expires" is
// read from a server's index only.
UpdateIndex ParseIndex(const std::string& text, IndexSource source);

// Throws kErrUpdateSignature unless `signature` (128 hex digits, blanks around allowed) is an
// Ed25519 signature of `text` by one of `keys`.
void CheckSignature(const std::string& text, const std::string& signature,
                    const std::vector<PublicKey>& keys);

// Writing an index, as vexohost-index-tool and the tests do.

// A new key pair. The caller wipes its secret key (sodium_memzero) when done with it.
KeyPair NewKeyPair();

// The entry that offers the package file `path` (named as the file beside the index), which
// holds `bytes`, as `version`.
IndexEntry EntryOf(const std::string& path, const std::string& bytes, const std::string& version);

// `entry` as an index holds it.
Json::Value EntryJson(const IndexEntry& entry);

// The text of an index of format kIndexFormat: `serial`, `expires` (as FormatUtcTime writes it)
// and `plugins`, an object of entries (EntryJson's) by plug-in name.
std::string IndexText(std::uint64_t serial, const std::string& expires, const Json::Value& plugins);

// What kSignatureFile holds for the index `text` signed with `key`: 128 hex digits and a newline.
std::string SignatureText(const std::string& text, const SecretKey& key);

// Lower-case hex of the SHA-256 of `bytes`.
std::string Sha256Hex(const std::string& bytes);

// Lower-case hex of `size` bytes, as the index, its signature and keys are written.
std::string ToHex(const unsigned char* bytes, std::size_t size);

// Decodes exactly `size` bytes of hex, with blanks around, into `out`; false for anything else.
bool FromHex(const std::string& text, unsigned char* out, std::size_t size);

}  // namespace vexodl::vexohost::internal
