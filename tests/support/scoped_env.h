#pragma once

#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vexodl::fake {

// ScopedEnv sets and unsets environment variables for its lifetime; destroyed, it puts back what
// each variable held before (or unsets it), in reverse order. Tests use it for every variable
// they change, so that no test leaks a setting into the next. Not thread-safe, as setenv is not.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(std::initializer_list<std::pair<std::string, std::string>> values) {
    for (const auto& [name, value] : values) Set(name, value);
  }
  ~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) {
        ::setenv(it->first.c_str(), it->second->c_str(), 1);
      } else {
        ::unsetenv(it->first.c_str());
      }
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  ScopedEnv& Set(const std::string& name, const std::string& value) {
    Save(name);
    ::setenv(name.c_str(), value.c_str(), 1);
    return *this;
  }
  ScopedEnv& Unset(const std::string& name) {
    Save(name);
    ::unsetenv(name.c_str());
    return *this;
  }

 private:
  void Save(const std::string& name) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
  }

  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace vexodl::fake
