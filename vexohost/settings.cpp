#include "settings.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include "errors.h"

namespace vexodl::vexohost::internal {

std::chrono::milliseconds TimeoutSetting(const char* variable, std::chrono::milliseconds fallback,
                                         std::chrono::milliseconds most) {
  const char* text = std::getenv(variable);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < 1 || value > most.count()) {
    Fail(kErrSetting, std::string(variable) + " must be a whole number of milliseconds from 1 to " +
                          std::to_string(most.count()));
  }
  return std::chrono::milliseconds(value);
}

}  // namespace vexodl::vexohost::internal
