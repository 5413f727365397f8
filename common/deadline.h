#pragma once

#include <chrono>

namespace vexodl::common {

// Deadline is a point in time on the monotonic clock after which an exchange gives up.
class Deadline {
 public:
  explicit Deadline(std::chrono::milliseconds budget)
      : end_(std::chrono::steady_clock::now() + budget) {}

  bool Passed() const { return std::chrono::steady_clock::now() >= end_; }

  // Milliseconds left, rounded up so that poll() never wakes before the deadline; 0 once passed.
  int PollTimeout() const {
    const auto left = end_ - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 60'000 ? 60'000 : static_cast<int>(ms);
  }

 private:
  std::chrono::steady_clock::time_point end_;
};

}  // namespace vexodl::common
