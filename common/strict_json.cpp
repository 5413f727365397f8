#include "strict_json.h"

#include <memory>

#include <json/reader.h>

namespace vexodl::common {

std::optional<Json::Value> ParseStrictJson(std::string_view text, std::size_t max_bytes) {
  if (text.size() > max_bytes) return std::nullopt;
  // Made once per thread: making a reader costs more than parsing a manifest, and a listing
  // parses one manifest per plug-in. A reader starts every parse afresh, after a throw too.
  thread_local const std::unique_ptr<Json::CharReader> reader = [] {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["stackLimit"] = kMaxJsonDepth;
    return std::unique_ptr<Json::CharReader>(builder.newCharReader());
  }();
  Json::Value value;
  try {
    if (!reader->parse(text.data(), text.data() + text.size(), &value, nullptr)) {
      return std::nullopt;
    }
  } catch (const Json::Exception&) {
    return std::nullopt;  // nesting past stackLimit throws rather than failing
  }
  return value;
}

}  // namespace vexodl::common
