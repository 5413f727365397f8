#include "settings.h"

#include <optional>

#include "errors.h"
#include "setting.h"

namespace vexodl::vexohost::internal {

std::chrono::milliseconds TimeoutSetting(const char* variable, std::chrono::milliseconds fallback,
                                         std::chrono::milliseconds most) {
  const std::optional<long long> value =
      common::NumberSetting(variable, 1, most.count(), kErrSetting);
  return value ? std::chrono::milliseconds(*value) : fallback;
}

}  // namespace vexodl::vexohost::internal
