#include "manifest.h"

#include <optional>
#include <string>

#include <json/value.h>

#include "errors.h"
#include "host_name.h"
#include "strict_json.h"
#include "version.h"

namespace vexodl::vexohost::internal {

namespace {

[[noreturn]] void Broken(const std::string& why) { Fail(kErrBrokenManifest, why); }

// The member `key` of `root`, which must be a string.
std::string StringMember(const Json::Value& root, const char* key) {
  const Json::Value* member = common::FindMember(root, key);
  if (member == nullptr) Broken(std::string("\"") + key + "\" is missing");
  if (!member->isString()) Broken(std::string("\"") + key + "\" is not a string");
  return member->asString();
}

// The parsed manifest, an object of format kManifestFormat.
Json::Value ParseObject(const std::string& text) {
  std::optional<Json::Value> parsed = common::ParseStrictJson(text, kMaxManifestBytes);
  if (!parsed) Broken("not valid JSON");
  if (!parsed->isObject()) Broken("not a JSON object");
  const Json::Value* format = common::FindMember(*parsed, "format");
  if (format == nullptr) Broken("\"format\" is missing");
  if (!format->isInt()) Broken("\"format\" is not an integer");
  if (format->asInt() != kManifestFormat) {
    Broken("format " + std::to_string(format->asInt()) + " is not supported (this build reads " +
           std::to_string(kManifestFormat) + ")");
  }
  return std::move(*parsed);
}

}  // namespace

Manifest ParseManifest(const std::string& text, const std::string& folder) {
  const Json::Value root = ParseObject(text);
  Manifest manifest;
  manifest.name = StringMember(root, "name");
  if (folder.empty() && !IsValidHostName(manifest.name)) {
    Broken("\"" + Printable(manifest.name) + "\" is no valid host name");
  }
  if (!folder.empty() && manifest.name != folder) {
    Broken("\"name\" is \"" + Printable(manifest.name) + "\", not the folder's name");
  }
  manifest.description = StringMember(root, "description");
  manifest.version = StringMember(root, "version");
  if (!IsValidVersion(manifest.version)) {
    Broken("\"version\" must be 1 to 64 of letters, digits and \".+~_-\"");
  }
  const std::string authentication = StringMember(root, "authentication");
  if (authentication != "yes" && authentication != "no") {
    Broken("\"authentication\" is neither \"yes\" nor \"no\"");
  }
  manifest.authentication = authentication == "yes";
  if (root.isMember("verifier")) {
    manifest.verifier = StringMember(root, "verifier");
    // Same rules as host names: a plain file name that stays inside the plug-in folder.
    if (!IsValidHostName(manifest.verifier)) Broken("\"verifier\" is not a plain file name");
  }
  return manifest;
}

}  // namespace vexodl::vexohost::internal
