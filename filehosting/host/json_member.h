#pragma once

// Internal to the library: how the host kinds read members of back-end JSON. Not installed.

#include <string>

#include <json/value.h>

namespace vexodl::filehosting::host::internal {

// The member `key` of `object`, looked up once; null when absent. REQUIRES: object is null or an
// object.
template <std::size_t N>
const Json::Value* FindMember(const Json::Value& object, const char (&key)[N]) {
  return object.find(key, key + N - 1);
}

// Reads the string member that names an element of a back-end listing. A missing or null member
// reads as "". Returns false, and leaves `out` alone, when the element is not an object or the
// member is of another kind: such an element names nothing and is passed over.
template <std::size_t N>
bool ReadNameMember(const Json::Value& element, const char (&key)[N], std::string* out) {
  if (!element.isObject()) return false;
  const Json::Value* member = FindMember(element, key);
  if (member == nullptr || member->isNull()) {
    out->clear();
    return true;
  }
  if (!member->isString()) return false;
  *out = member->asString();
  return true;
}

}  // namespace vexodl::filehosting::host::internal
