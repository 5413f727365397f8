#include "update_index.h"

#include <sodium.h>

#include <optional>

#include <json/value.h>
#include <json/writer.h>

#include "errors.h"
#include "host_name.h"
#include "strict_json.h"
#include "utc_time.h"
#include "version.h"

namespace vexodl::vexohost::internal {

static_assert(std::tuple_size<PublicKey>::value == crypto_sign_PUBLICKEYBYTES);
static_assert(std::tuple_size<SecretKey>::value == crypto_sign_SECRETKEYBYTES);

namespace {

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
      !FromHex(value["sha256"].asString(), digest.data(), digest.size())) {
    *why = "has no \"sha256\" of 64 hex digits";
    return std::nullopt;
  }
  entry.sha256 = ToHex(digest.data(), digest.size());
  return entry;
}

}  // namespace

std::string ToHex(const unsigned char* bytes, std::size_t size) {
  std::string hex(2 * size + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), bytes, size);
  hex.pop_back();
  return hex;
}

bool FromHex(const std::string& text, unsigned char* out, std::size_t size) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  const std::size_t last = text.find_last_not_of(" \t\r\n");
  if (first == std::string::npos) return false;
  const std::string hex = text.substr(first, last - first + 1);
  std::size_t length = 0;
  return hex.size() == 2 * size &&
         sodium_hex2bin(out, size, hex.data(), hex.size(), nullptr, &length, nullptr) == 0 &&
         length == size;
}

UpdateIndex ParseIndex(const std::string& text, IndexSource source) {
  Json::Value root = common::ParseStrictJson(text, kMaxIndexBytes).value_or(Json::Value());
  if (!root.isObject()) {
    Fail(kErrUpdateIndex, "the update index is no JSON object");
  }
  if (!root["format"].isInt() || root["format"].asInt() != kIndexFormat) {
    Fail(kErrUpdateIndex, "the update index is not of format " + std::to_string(kIndexFormat));
  }
  UpdateIndex index;
  if (!root["serial"].isUInt64()) {
    Fail(kErrUpdateIndex, "the update index has no \"serial\" (a whole number from 0)");
  }
  index.serial = root["serial"].asUInt64();
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

void CheckSignature(const std::string& text, const std::string& signature,
                    const std::vector<PublicKey>& keys) {
  InitSodium();
  std::array<unsigned char, crypto_sign_BYTES> bytes{};
  if (!FromHex(signature, bytes.data(), bytes.size())) {
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

KeyPair NewKeyPair() {
  InitSodium();
  KeyPair keys;
  crypto_sign_keypair(keys.public_key.data(), keys.secret_key.data());
  return keys;
}

IndexEntry EntryOf(const std::string& path, const std::string& bytes, const std::string& version) {
  const std::size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return {version, name, bytes.size(), Sha256Hex(bytes)};
}

Json::Value EntryJson(const IndexEntry& entry) {
  Json::Value value(Json::objectValue);
  value["version"] = entry.version;
  value["package"] = entry.package;
  value["size"] = Json::UInt64{entry.size};
  value["sha256"] = entry.sha256;
  return value;
}

std::string IndexText(std::uint64_t serial, const std::string& expires,
                      const Json::Value& plugins) {
  Json::Value index(Json::objectValue);
  index["format"] = kIndexFormat;
  index["serial"] = Json::UInt64{serial};
  index["expires"] = expires;
  index["plugins"] = plugins;
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "  ";
  return Json::writeString(writer, index) + "\n";
}

std::string SignatureText(const std::string& text, const SecretKey& key) {
  InitSodium();
  unsigned char signature[crypto_sign_BYTES];
  crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(text.data()),
                       text.size(), key.data());
  return ToHex(signature, sizeof signature) + "\n";
}

std::string Sha256Hex(const std::string& bytes) {
  InitSodium();
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return ToHex(digest, sizeof digest);
}

}  // namespace vexodl::vexohost::internal
