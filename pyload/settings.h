#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <string>

namespace vexodl::pyload::internal {

// Defaults of the settings below; docs/pyload-protocol.md lists them with their variables.
inline constexpr char kDefaultSocketPath[] = "/run/vexodl/pyload.sock";
inline constexpr char kDefaultProgramPath[] = "/usr/lib/vexodl/pyload-cli";
inline constexpr std::chrono::milliseconds kDefaultConnectTimeout{2'000};
inline constexpr std::chrono::milliseconds kDefaultSocketTimeout{10'000};
inline constexpr std::chrono::milliseconds kDefaultReadyTimeout{500};
inline constexpr std::chrono::milliseconds kDefaultProgramTimeout{30'000};
inline constexpr std::size_t kDefaultMaxAnswerBytes = 4 * 1024 * 1024;
// The largest answer cap that VEXODL_PYLOAD_MAX_ANSWER_BYTES may set.
inline constexpr std::size_t kMaxAnswerBytesLimit = 256 * 1024 * 1024;
// The largest user id that VEXODL_PYLOAD_SOCKET_UID may name: (uid_t)-1 is no user.
inline constexpr long long kMaxUid = 4'294'967'294;

// Settings is how the client reaches pyLoad. Each value comes from its environment variable
// when that is set, else from its default; they are read afresh for every channel, so a
// program can repoint the client between operations.
struct Settings {
  std::string socket_path = kDefaultSocketPath;                        // VEXODL_PYLOAD_SOCKET
  std::string program_path = kDefaultProgramPath;                      // VEXODL_PYLOAD_CLI
  std::chrono::milliseconds connect_timeout = kDefaultConnectTimeout;  // ..._CONNECT_TIMEOUT_MS
  std::chrono::milliseconds socket_timeout = kDefaultSocketTimeout;    // ..._SOCKET_TIMEOUT_MS
  std::chrono::milliseconds ready_timeout = kDefaultReadyTimeout;      // ..._READY_TIMEOUT_MS
  std::chrono::milliseconds program_timeout = kDefaultProgramTimeout;  // ..._CLI_TIMEOUT_MS
  std::size_t max_answer_bytes = kDefaultMaxAnswerBytes;  // VEXODL_PYLOAD_MAX_ANSWER_BYTES
  // Besides root, the one user whose listener on the socket is pyLoad (VEXODL_PYLOAD_SOCKET_UID).
  uid_t socket_uid = ::geteuid();
};

// Reads the settings from the environment (common::Setting: an empty variable is an unset one).
// Throws vexodl::VexoError 2501 when a variable is set to something unusable (a number out of range
// or with trailing text), and 2502 when the socket path does not fit into a Unix socket address.
Settings SettingsFromEnvironment();

}  // namespace vexodl::pyload::internal
