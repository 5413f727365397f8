#pragma once

#include <ostream>
#include <string>

#include <json/value.h>

namespace vexodl::fake {

// Parses JSON text written in a test; a mistake in it fails loudly (std::invalid_argument).
Json::Value ParseJson(const std::string& text);

// Compact JSON text of `value` ("null" for null), UTF-8 as it is.
std::string Compact(const Json::Value& value);

}  // namespace vexodl::fake

namespace Json {
// Lets GoogleTest print JSON values as JSON text rather than as containers.
void PrintTo(const Value& value, std::ostream* os);
}  // namespace Json
