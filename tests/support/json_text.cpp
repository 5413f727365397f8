#include "json_text.h"

#include <memory>
#include <stdexcept>

#include <json/reader.h>
#include <json/writer.h>

namespace vexodl::fake {

Json::Value ParseJson(const std::string& text) {
  Json::CharReaderBuilder builder;
  builder["failIfExtra"] = true;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string errors;
  if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
    throw std::invalid_argument("bad JSON in test: " + errors + " in " + text);
  }
  return value;
}

std::string Compact(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, value);
}

}  // namespace vexodl::fake

namespace Json {
void PrintTo(const Value& value, std::ostream* os) { *os << vexodl::fake::Compact(value); }
}  // namespace Json
