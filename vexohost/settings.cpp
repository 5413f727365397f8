#include "settings.h"

#include <cstdlib>
#include <optional>
#include <string>

#include "errors.h"
#include "whole_number.h"

namespace vexodl::vexohost::internal {

std::chrono::milliseconds TimeoutSetting(const char* variable, std::chrono::milliseconds fallback,
                                         std::chrono::milliseconds most) {
  const char* text = std::getenv(variable);
  if (text == nullptr || *text == '\0') return fallback;
  const std::optional<long long> value = common::ParseWholeNumber(text, 1, most.count());
  if (!value) {
    Fail(kErrSetting, std::string(variable) + " must be a whole number of milliseconds from 1 to " +
                          std::to_string(most.count()));
  }
  return std::chrono::milliseconds(*value);
}

}  // namespace vexodl::vexohost::internal
