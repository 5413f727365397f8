// Where the client looks for pyLoad and how long it waits: the ranges of the settings (how a
// number is read: tests/common/whole_number_test.cpp).
#include "settings.h"

#include <string>

#include <gtest/gtest.h>

#include "error/vexo_error.h"
#include "scoped_env.h"

namespace vexodl::pyload {
namespace {

TEST(SettingsTest, ValuesOutsideTheirRangesAreRefusedNamingTheVariable) {
  const std::string whole = " must be a whole number from ";
  // A variable, a value, and the code and message that reading the settings throws ("": none).
  const std::string rows[][3] = {
      {"VEXODL_PYLOAD_SOCKET_TIMEOUT_MS", "0",
       "2501 VEXODL_PYLOAD_SOCKET_TIMEOUT_MS" + whole + "1 to 3600000"},
      {"VEXODL_PYLOAD_SOCKET_TIMEOUT_MS", "", ""},  // empty: the default
      {"VEXODL_PYLOAD_MAX_ANSWER_BYTES", "63",
       "2501 VEXODL_PYLOAD_MAX_ANSWER_BYTES" + whole + "64 to 268435456"},
      {"VEXODL_PYLOAD_SOCKET_UID", "4294967295",  // (uid_t)-1 is no user
       "2501 VEXODL_PYLOAD_SOCKET_UID" + whole + "0 to 4294967294"},
      {"VEXODL_PYLOAD_SOCKET", "/tmp/" + std::string(103, 's'),
       "2502 pyLoad socket path is longer than 107 bytes"},
  };
  for (const auto& [variable, value, outcome] : rows) {
    fake::ScopedEnv env{{variable, value}};
    std::string thrown;
    try {
      internal::SettingsFromEnvironment();
    } catch (const VexoError& error) {
      thrown = std::to_string(error.code) + " " + error.what();
    }
    EXPECT_EQ(outcome, thrown) << variable << "=" << value;
  }
}

}  // namespace
}  // namespace vexodl::pyload
