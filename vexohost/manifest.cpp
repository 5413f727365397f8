#include "manifest.h"

#include <optional>
#include <string>

#include <json/value.h>

#include "errors.h"
#include "host_name.h"
#include "strict_json.h"

namespace vexodl::vexohost::internal {

namespace {

bool IsVersionByte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '+' || c == '~' || c == '_' || c == '-';
}

bool IsValidVersion(const std::string& version) {
  if (version.empty() || version.size() > kMaxVersionLength) return false;
  for (const char c : version) {
    if (!IsVersionByte(c)) return false;
  }
  return true;
}

// The member `key` of `root` when it is a string; sets `why` and returns nullptr otherwise.
const Json::Value* StringMember(const Json::Value& root, const char* key, std::string* why) {
  const Json::Value* member = root.find(key, key + std::char_traits<char>::length(key));
  if (member == nullptr) {
    *why = std::string("\"") + key + "\" is missing";
    return nullptr;
  }
  if (!member->isString()) {
    *why = std::string("\"") + key + "\" is not a string";
    return nullptr;
  }
  return member;
}

}  // namespace

bool ParseManifest(const std::string& text, const std::string& folder, Manifest* out,
                   std::string* why) {
  const std::optional<Json::Value> parsed = common::ParseStrictJson(text, kMaxManifestBytes);
  if (!parsed) {
    *why = "not valid JSON";
    return false;
  }
  const Json::Value& root = *parsed;
  if (!root.isObject()) {
    *why = "not a JSON object";
    return false;
  }

  static constexpr char kFormatKey[] = "format";
  const Json::Value* format = root.find(kFormatKey, kFormatKey + sizeof(kFormatKey) - 1);
  if (format == nullptr) {
    *why = "\"format\" is missing";
    return false;
  }
  if (!format->isInt()) {
    *why = "\"format\" is not an integer";
    return false;
  }
  if (format->asInt() != kManifestFormat) {
    *why = "format " + std::to_string(format->asInt()) + " is not supported (this build reads " +
           std::to_string(kManifestFormat) + ")";
    return false;
  }

  Manifest manifest;
  const Json::Value* name = StringMember(root, "name", why);
  if (name == nullptr) return false;
  manifest.name = name->asString();
  if (folder.empty()) {
    if (!IsValidHostName(manifest.name)) {
      *why = "\"" + Printable(manifest.name) + "\" is no valid host name";
      return false;
    }
  } else if (manifest.name != folder) {
    *why = "\"name\" is \"" + Printable(manifest.name) + "\", not the folder's name";
    return false;
  }

  const Json::Value* description = StringMember(root, "description", why);
  if (description == nullptr) return false;
  manifest.description = description->asString();

  const Json::Value* version = StringMember(root, "version", why);
  if (version == nullptr) return false;
  manifest.version = version->asString();
  if (!IsValidVersion(manifest.version)) {
    *why = "\"version\" must be 1 to 64 of letters, digits and \".+~_-\"";
    return false;
  }

  const Json::Value* authentication = StringMember(root, "authentication", why);
  if (authentication == nullptr) return false;
  if (authentication->asString() != "yes" && authentication->asString() != "no") {
    *why = "\"authentication\" is neither \"yes\" nor \"no\"";
    return false;
  }
  manifest.authentication = authentication->asString() == "yes";

  if (root.isMember("verifier")) {
    const Json::Value* verifier = StringMember(root, "verifier", why);
    if (verifier == nullptr) return false;
    // Same rules as host names: a plain file name that stays inside the plug-in folder.
    if (!IsValidHostName(verifier->asString())) {
      *why = "\"verifier\" is not a plain file name";
      return false;
    }
    manifest.verifier = verifier->asString();
  }

  *out = std::move(manifest);
  return true;
}

}  // namespace vexodl::vexohost::internal
