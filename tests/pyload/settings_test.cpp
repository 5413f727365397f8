// Where the client looks for pyLoad and how long it waits: the ranges of the settings.
#include "settings.h"

#include <string>

#include <gtest/gtest.h>

#include "error/vexo_error.h"
#include "outside/pyload.h"
#include "scoped_env.h"

namespace vexodl::pyload {
namespace {

// A variable, a value, and the code and message that reading the settings throws (0: none).
struct SettingRow {
  const char* variable;
  std::string value;
  int code;
  std::string message;
};

TEST(SettingsTest, ValuesOutsideTheirRangesAreRefusedNamingTheVariable) {
  const std::string timeout =
      "VEXODL_PYLOAD_SOCKET_TIMEOUT_MS must be a whole number from 1 to 3600000";
  const SettingRow rows[] = {
      {"VEXODL_PYLOAD_SOCKET_TIMEOUT_MS", "1", 0, ""},
      {"VEXODL_PYLOAD_SOCKET_TIMEOUT_MS", "3600000", 0, ""},
      {"VEXODL_PYLOAD_SOCKET_TIMEOUT_MS", "0", 2501, timeout},
      {"VEXODL_PYLOAD_SOCKET_TIMEOUT_MS", "3600001", 2501, timeout},
      {"VEXODL_PYLOAD_SOCKET_TIMEOUT_MS", "10ms", 2501, timeout},
      {"VEXODL_PYLOAD_SOCKET_TIMEOUT_MS", "", 0, ""},  // empty: the default
      {"VEXODL_PYLOAD_MAX_ANSWER_BYTES", "63", 2501,
       "VEXODL_PYLOAD_MAX_ANSWER_BYTES must be a whole number from 64 to 268435456"},
      {"VEXODL_PYLOAD_CLI", "", 0, ""},
      {"VEXODL_PYLOAD_SOCKET_UID", "4294967294", 0, ""},
      {"VEXODL_PYLOAD_SOCKET_UID", "4294967295", 2501,  // (uid_t)-1 is no user
       "VEXODL_PYLOAD_SOCKET_UID must be a whole number from 0 to 4294967294"},
      {"VEXODL_PYLOAD_SOCKET", "/tmp/" + std::string(102, 's'), 0, ""},  // 107 bytes and a NUL
      {"VEXODL_PYLOAD_SOCKET", "/tmp/" + std::string(103, 's'), 2502,
       "pyLoad socket path is longer than 107 bytes"},
  };
  for (const SettingRow& row : rows) {
    fake::ScopedEnv env{{row.variable, row.value}};
    int code = 0;
    std::string message;
    try {
      internal::SettingsFromEnvironment();
    } catch (const VexoError& error) {
      code = error.code;
      message = error.what();
    }
    EXPECT_EQ(row.code, code) << row.variable << "=" << row.value;
    EXPECT_EQ(row.message, message) << row.variable << "=" << row.value;
  }
}

TEST(SettingsTest, ChannelsRefuseUnusableSettingsWhenMadeAndReadinessSaysNo) {
  fake::ScopedEnv env{{"VEXODL_PYLOAD_READY_TIMEOUT_MS", "soon"}};
  EXPECT_THROW(rpc::DomainSocketHandler(), VexoError);
  EXPECT_THROW(rpc::CommandlineHandler(), VexoError);
  EXPECT_FALSE(Utils::IsPyLoadDomainSocketReady());
}

}  // namespace
}  // namespace vexodl::pyload
