#include "settings.h"

#include <sys/un.h>

#include <string>

#include "error/vexo_error.h"
#include "error_codes.h"
#include "setting.h"

namespace vexodl::pyload::internal {

namespace {

constexpr long long kMaxTimeoutMs = 3'600'000;  // one hour

void ReadTimeout(const char* name, std::chrono::milliseconds* out) {
  if (const auto value = common::NumberSetting(name, 1, kMaxTimeoutMs, kErrorBadSetting)) {
    *out = std::chrono::milliseconds(*value);
  }
}

void ReadPath(const char* name, std::string* out) {
  if (const auto text = common::Setting(name)) *out = *text;
}

}  // namespace

Settings SettingsFromEnvironment() {
  Settings settings;
  ReadPath("VEXODL_PYLOAD_SOCKET", &settings.socket_path);
  ReadPath("VEXODL_PYLOAD_CLI", &settings.program_path);
  if (const auto uid =
          common::NumberSetting("VEXODL_PYLOAD_SOCKET_UID", 0, kMaxUid, kErrorBadSetting)) {
    settings.socket_uid = static_cast<uid_t>(*uid);
  }
  ReadTimeout("VEXODL_PYLOAD_CONNECT_TIMEOUT_MS", &settings.connect_timeout);
  ReadTimeout("VEXODL_PYLOAD_SOCKET_TIMEOUT_MS", &settings.socket_timeout);
  ReadTimeout("VEXODL_PYLOAD_READY_TIMEOUT_MS", &settings.ready_timeout);
  ReadTimeout("VEXODL_PYLOAD_CLI_TIMEOUT_MS", &settings.program_timeout);
  if (const auto bytes =
          common::NumberSetting("VEXODL_PYLOAD_MAX_ANSWER_BYTES", 64,
                                static_cast<long long>(kMaxAnswerBytesLimit), kErrorBadSetting)) {
    settings.max_answer_bytes = static_cast<std::size_t>(*bytes);
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
