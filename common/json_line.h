#pragma once

#include <memory>
#include <sstream>
#include <string>

#include <json/value.h>
#include <json/writer.h>

namespace vexodl::common {

// `value` as one line of compact JSON with a closing newline: how our back-ends write a request
// to a program or a socket. Non-ASCII text stays UTF-8 rather than \u escapes.
inline std::string JsonLine(const Json::Value& value) {
  // Made once per thread: a writer costs more to make than a request does to write.
  thread_local const std::unique_ptr<Json::StreamWriter> writer = [] {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
  }();
  std::ostringstream text;
  writer->write(value, &text);
  text << '\n';
  return text.str();
}

}  // namespace vexodl::common
