#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace vexodl::vexohost::internal {

// Fetch downloads `url` (http, https or file; redirects only between http and https, at most
// three) and returns its bytes. Throws kErrUpdateFetch, naming the URL and the reason, when the
// transfer fails, the server answers an HTTP error, it takes longer than `timeout` in all, or the
// body is larger than `max_bytes`; with `too_large` given, a larger body sets it instead and
// the first `max_bytes` bytes are returned. Every socket it opens is close-on-exec.
std::string Fetch(const std::string& url, std::uint64_t max_bytes,
                  std::chrono::milliseconds timeout, bool* too_large = nullptr);

}  // namespace vexodl::vexohost::internal
