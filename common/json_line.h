#pragma once

#include <string>

#include <json/value.h>
#include <json/writer.h>

namespace vexodl::common {

// `value` as one line of compact JSON with a closing newline: how our back-ends write a request
// to a program or a socket. Non-ASCII text stays UTF-8 rather than \u escapes.
inline std::string JsonLine(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, value) + "\n";
}

}  // namespace vexodl::common
