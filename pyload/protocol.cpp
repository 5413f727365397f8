#include "protocol.h"

#include <string>
#include <utility>

#include <json/value.h>

#include "escape.h"
#include "json_line.h"
#include "log.h"
#include "settings.h"
#include "strict_json.h"
#include "utf8.h"

namespace vexodl::pyload::internal {

namespace {

bool AllStringsUtf8(const Json::Value& value) {
  if (value.isString()) return common::IsUtf8(value.asString());
  if (value.isObject()) {
    for (const auto& name : value.getMemberNames()) {
      if (!common::IsUtf8(name)) return false;
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
  const Json::Value* member = common::FindMember(object, key);
  return member == nullptr || member->isString();
}

// What an answer's "error" member says, for a message.
std::string ErrorOf(const Json::Value& error) {
  constexpr std::size_t kMaxShownMessageBytes = 200;
  const Json::Value* name = common::FindMember(error, "name");
  if (name == nullptr || !name->isString()) return "pyLoad answered an error";
  // pyLoad's own words for both, which the peer uses as well (docs/pyload-protocol.md).
  if (name->asString() == "UnknownPlugin" || name->asString() == "NoAccount") {
    return "no such plug-in or account";
  }
  std::string text = "pyLoad answered " + Printable(name->asString());
  const Json::Value* message = common::FindMember(error, "message");
  if (message != nullptr && message->isString() && !message->asString().empty()) {
    text += ": " +
            common::Escape(message->asString(), common::Notation::kQuoted, kMaxShownMessageBytes);
  }
  return text;
}

}  // namespace

std::optional<std::string> RequestText(const char* method, const Json::Value& params,
                                       std::string* failure) {
  if (!AllStringsUtf8(params)) {
    *failure = "the request holds text that is not UTF-8";
    return std::nullopt;
  }
  Json::Value request(Json::objectValue);
  request["method"] = method;
  request["params"] = params;
  return common::JsonLine(request);
}

std::optional<Json::Value> ResultOf(const std::string& answer, std::string* failure) {
  // The channels hold an answer to the cap that the settings chose; no setting allows more.
  std::optional<Json::Value> value = common::ParseStrictJson(answer, kMaxAnswerBytesLimit);
  if (value && value->isObject() && value->isMember("error")) {
    *failure = ErrorOf((*value)["error"]);
    return std::nullopt;
  }
  if (!value || !value->isObject() || !value->isMember("result")) {
    *failure = "the answer is not one JSON object with a result";
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
