#include "settings.h"

#include <sys/un.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "error/vexo_error.h"
#include "error_codes.h"
#include "whole_number.h"

namespace vexodl::pyload::internal {

namespace {

constexpr long long kMaxTimeoutMs = 3'600'000;  // one hour

// Variable `name`'s value `text`, a whole number from `low` to `high`; an empty one too is
// refused, since the variable was set.
long long Number(const char* name, const char* text, long long low, long long high) {
  const std::optional<long long> value = common::ParseWholeNumber(text, low, high);
  if (!value) {
    throw VexoError(kErrorBadSetting, (std::string(name) + " must be a whole number from " +
                                       std::to_string(low) + " to " + std::to_string(high))
                                          .c_str());
  }
  return *value;
}

void ReadTimeout(const char* name, std::chrono::milliseconds* out) {
  if (const char* text = std::getenv(name)) {
    *out = std::chrono::milliseconds(Number(name, text, 1, kMaxTimeoutMs));
  }
}

void ReadPath(const char* name, std::string* out) {
  if (const char* text = std::getenv(name)) {
    if (*text == '\0') {
      throw VexoError(kErrorBadSetting, (std::string(name) + " is set but empty").c_str());
    }
    *out = text;
  }
}

}  // namespace

Settings SettingsFromEnvironment() {
  Settings settings;
  ReadPath("VEXODL_PYLOAD_SOCKET", &settings.socket_path);
  ReadPath("VEXODL_PYLOAD_CLI", &settings.program_path);
  if (const char* text = std::getenv("VEXODL_PYLOAD_SOCKET_UID")) {
    settings.socket_uid = static_cast<uid_t>(Number("VEXODL_PYLOAD_SOCKET_UID", text, 0, kMaxUid));
  }
  ReadTimeout("VEXODL_PYLOAD_CONNECT_TIMEOUT_MS", &settings.connect_timeout);
  ReadTimeout("VEXODL_PYLOAD_SOCKET_TIMEOUT_MS", &settings.socket_timeout);
  ReadTimeout("VEXODL_PYLOAD_READY_TIMEOUT_MS", &settings.ready_timeout);
  ReadTimeout("VEXODL_PYLOAD_CLI_TIMEOUT_MS", &settings.program_timeout);
  if (const char* text = std::getenv("VEXODL_PYLOAD_MAX_ANSWER_BYTES")) {
    settings.max_answer_bytes = static_cast<std::size_t>(Number(
        "VEXODL_PYLOAD_MAX_ANSWER_BYTES", text, 64, static_cast<long long>(kMaxAnswerBytesLimit)));
  }
  // sun_path needs room for the terminating NUL as well.
  if (settings.socket_path.size() >= sizeof(sockaddr_un{}.sun_path)) {
    throw VexoError(kErrorSocketPathTooLong,
                    ("pyLoad socket path is longer than " +
                     std::to_string(sizeof(sockaddr_un{}.sun_path) - 1) + " bytes")
                        .c_str());
  }
  return settings;
}

}  // namespace vexodl::pyload::internal
