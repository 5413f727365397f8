#pragma once

#include <chrono>

namespace vexodl::vexohost::internal {

// TimeoutSetting reads the deadline that environment variable `variable` sets: a whole number of
// milliseconds from 1 to `most`, or `fallback` when the variable is unset or empty. Throws
// kErrSetting, naming the variable, for anything else; read afresh by every call, so that tests
// and packagers can change it without a restart.
std::chrono::milliseconds TimeoutSetting(const char* variable, std::chrono::milliseconds fallback,
                                         std::chrono::milliseconds most);

}  // namespace vexodl::vexohost::internal
