#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <optional>

#include <json/reader.h>
#include <json/value.h>

#include "error/vexo_error.h"

namespace vexodl::fuzz {

// The fuzzer's bytes as JSON, with JsonCpp's own limits; nothing when they are no JSON.
inline std::optional<Json::Value> JsonOf(const uint8_t* data, size_t size) {
  Json::CharReaderBuilder builder;
  builder["stackLimit"] = 200;
  builder["failIfExtra"] = true;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  const char* begin = reinterpret_cast<const char*>(data);
  try {
    if (reader->parse(begin, begin + size, &value, nullptr)) return value;
  } catch (const Json::Exception&) {
  }
  return std::nullopt;
}

// An invariant that must hold: when it does not, say which and stop, so that libFuzzer keeps the
// input.
inline void Check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// A refusal of the fuzzer's input: with one of `codes`, and a message that says why.
inline void CheckRefusal(const VexoError& error, std::initializer_list<int> codes) {
  if (std::find(codes.begin(), codes.end(), error.code) == codes.end()) {
    std::fprintf(stderr, "refused with %d: %s\n", error.code, error.what());
    Check(false, "refused with a code of its own");
  }
  Check(*error.what() != '\0', "a refusal says why");
}

}  // namespace vexodl::fuzz
