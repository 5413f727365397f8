#pragma once

#include <unistd.h>

#include <utility>

namespace vexodl::common {

// UniqueFd owns one file descriptor and closes it when destroyed. Move-only; -1 means "none".
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.Release();
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  // Gives the descriptor up to the caller, who closes it from now on.
  int Release() noexcept { return std::exchange(fd_, -1); }

  // Closes the descriptor now. close() errors are ignored: on Linux the descriptor is gone either
  // way, and closing again could close one that another thread has just opened.
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

}  // namespace vexodl::common
