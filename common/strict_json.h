#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include <json/value.h>

namespace vexodl::common {

// The deepest nesting of arrays and objects that ParseStrictJson accepts. What our back-ends
// read (a manifest, an update index, a verifier's or pyLoad's answer) is a few levels deep. Every
// level costs a stack frame in the parser, and again in each walk over the value (its copy,
// comparison and destruction, our own checks), on a thread whose stack the library's caller
// chose; JsonCpp's own limit of 1,000 levels also makes it throw where we want a refusal.
constexpr int kMaxJsonDepth = 64;

// ParseStrictJson reads `text` as exactly one JSON object or array, strictly: no comments, no
// duplicate keys, no single quotes, no NaN or Infinity, nothing but blanks after the value.
// Returns nothing for text that breaks a rule, is longer than `max_bytes`, or nests deeper than
// kMaxJsonDepth. Throws nothing but std::bad_alloc. Any thread may call it: each keeps a reader of
// its own, made on its first call.
std::optional<Json::Value> ParseStrictJson(std::string_view text, std::size_t max_bytes);

// The member `key` of `object`, looked up once; nullptr when it is absent or `object` is no object.
inline const Json::Value* FindMember(const Json::Value& object, std::string_view key) {
  return object.isObject() ? object.find(key.data(), key.data() + key.size()) : nullptr;
}

}  // namespace vexodl::common
