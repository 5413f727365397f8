#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "error/vexo_error.h"
#include "whole_number.h"

namespace vexodl::common {

// The value of environment variable `name`; nullopt when it is unset or empty. Every setting of
// our back-ends reads an empty value as none, so that `NAME= program` gives a program the default,
// as it would to one that never saw the variable. Read afresh by every call, so that tests and
// packagers can change a setting without a restart.
inline std::optional<std::string_view> Setting(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return std::nullopt;
  return std::string_view(text);
}

// The whole number from `low` to `high` (ParseWholeNumber) that setting `name` holds; nullopt when
// it holds none. Throws VexoError(`code`, "<name> must be a whole number from <low> to <high>")
// for anything else.
inline std::optional<long long> NumberSetting(const char* name, long long low, long long high,
                                              int code) {
  const std::optional<std::string_view> text = Setting(name);
  if (!text) return std::nullopt;
  const std::optional<long long> value = ParseWholeNumber(*text, low, high);
  if (!value) {
    throw VexoError(code, (std::string(name) + " must be a whole number from " +
                           std::to_string(low) + " to " + std::to_string(high))
                              .c_str());
  }
  return value;
}

}  // namespace vexodl::common
