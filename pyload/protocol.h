#pragma once

#include <optional>
#include <string>

#include <json/value.h>

// The request and answer texts that both channels carry (docs/pyload-protocol.md).
namespace vexodl::pyload::internal {

// The request {"method": <method>, "params": <params>} as compact JSON text followed by a newline,
// or nothing when a string in `params` is not valid UTF-8 and so cannot travel as JSON text, and
// then `*failure` says so.
std::optional<std::string> RequestText(const char* method, const Json::Value& params,
                                       std::string* failure);

// The "result" member of an answer that is exactly one JSON object holding "result" and no
// "error"; nothing for an error answer or for text that is no such answer (garbage, a truncated
// object, trailing data), and then `*failure` says which: "no such plug-in or account" for
// pyLoad's errors UnknownPlugin and NoAccount, "pyLoad answered <name>: <message>" for another
// error (Printable, the message cut at 200 bytes), "the answer is not one JSON object with a
// result" for the rest.
std::optional<Json::Value> ResultOf(const std::string& answer, std::string* failure);

// How the results of the methods read: a flag (true is the only success), a verification (1, 2
// or 3; 0 for anything else) and an account list (an array of objects whose "pluginname" and
// "type", when present, are strings; false for anything else, and `out` is then left alone).
bool IsDone(const Json::Value& result);
int VerificationOf(const Json::Value& result);
bool TakeAccounts(Json::Value&& result, Json::Value* out);

// The answer to the readiness probe: the server's version, a string.
bool IsServerVersion(const Json::Value& result);

}  // namespace vexodl::pyload::internal
