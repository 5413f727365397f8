#include "host/base.h"

namespace vexodl::filehosting::host {

namespace {
// Static keys: JsonCpp stores the pointer instead of copying the key for every host.
const Json::StaticString kName("name");
const Json::StaticString kType("type");
const Json::StaticString kDisplayName("displayname");
const Json::StaticString kEnabled("enabled");
const Json::StaticString kDescription("description");
const Json::StaticString kVersion("version");
const Json::StaticString kUsername("username");
const Json::StaticString kPremium("premium");
const Json::StaticString kRemovable("removable");
const Json::StaticString kCanBeDisabled("can_be_disabled");
const Json::StaticString kAuthNeeded("auth_needed");
const Json::StaticString kExperimental("experimental");
}  // namespace

Base::Base(const std::string& name, const std::string& type) : name(name), type(type) {}

Base::~Base() = default;

void Base::toJson(Json::Value& out) {
  if (!out.isNull() && !out.isObject()) {
    throw Json::LogicError("a host JSON object can only be written into a null value or an object");
  }
  out[kName] = name;
  out[kType] = type;
  out[kDisplayName] = name;
  out[kEnabled] = enabled;
  if (!description.empty()) out[kDescription] = description;
  if (!version.empty()) out[kVersion] = version;
  if (!username.empty()) out[kUsername] = username;
  if (premium) out[kPremium] = true;
  out[kRemovable] = removable;
  if (!can_be_disabled) out[kCanBeDisabled] = false;
  out[kAuthNeeded] = auth_needed;
  if (!is_tested) out[kExperimental] = true;
}

}  // namespace vexodl::filehosting::host
