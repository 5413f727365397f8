#include "protocol.h"

#include <string>
#include <utility>

#include <json/value.h>

#include "json_line.h"
#include "settings.h"
#include "strict_json.h"

namespace vexodl::pyload::internal {

namespace {

// Whether `text` is well-formed UTF-8: no stray continuation bytes, no overlong forms, no
// surrogates, nothing above U+10FFFF.
bool IsUtf8(const std::string& text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = s + text.size();
  while (s < end) {
    const unsigned char c = *s;
    std::size_t length = 0;
    unsigned int code = 0;
    unsigned int min = 0;
    if (c < 0x80) {
      ++s;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      length = 2, code = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3, code = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4, code = c & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - s) < length) return false;
    for (std::size_t i = 1; i < length; ++i) {
      if ((s[i] & 0xC0) != 0x80) return false;
      code = (code << 6) | (s[i] & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    s += length;
  }
  return true;
}

bool AllStringsUtf8(const Json::Value& value) {
  if (value.isString()) return IsUtf8(value.asString());
  if (value.isObject()) {
    for (const auto& name : value.getMemberNames()) {
      if (!IsUtf8(name)) return false;
    }
  }
  if (value.isObject() || value.isArray()) {
    for (const Json::Value& element : value) {
      if (!AllStringsUtf8(element)) return false;
    }
  }
  return true;
}

bool IsStringOrAbsent(const Json::Value& object, const char* key) {
  const Json::Value* member = object.find(key, key + std::char_traits<char>::length(key));
  return member == nullptr || member->isString();
}

}  // namespace

std::optional<std::string> RequestText(const char* method, const Json::Value& params) {
  if (!AllStringsUtf8(params)) return std::nullopt;
  Json::Value request(Json::objectValue);
  request["method"] = method;
  request["params"] = params;
  return common::JsonLine(request);
}

std::optional<Json::Value> ResultOf(const std::string& answer) {
  // The channels hold an answer to the cap that the settings chose; no setting allows more.
  std::optional<Json::Value> value = common::ParseStrictJson(answer, kMaxAnswerBytesLimit);
  if (!value || !value->isObject() || value->isMember("error") || !value->isMember("result")) {
    return std::nullopt;
  }
  return std::move((*value)["result"]);
}

bool IsDone(const Json::Value& result) { return result.isBool() && result.asBool(); }

int VerificationOf(const Json::Value& result) {
  if (!result.isInt()) return 0;
  const int answer = result.asInt();
  return answer >= 1 && answer <= 3 ? answer : 0;
}

bool TakeAccounts(Json::Value&& result, Json::Value* out) {
  if (!result.isArray()) return false;
  for (const Json::Value& account : result) {
    if (!account.isObject() || !IsStringOrAbsent(account, "pluginname") ||
        !IsStringOrAbsent(account, "type")) {
      return false;
    }
  }
  *out = std::move(result);
  return true;
}

bool IsServerVersion(const Json::Value& result) { return result.isString(); }

}  // namespace vexodl::pyload::internal
