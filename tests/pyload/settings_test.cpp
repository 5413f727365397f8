// Where the client looks for pyLoad and how long it waits: defaults, overrides, refusals.
#include "settings.h"

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "error/vexo_error.h"
#include "outside/pyload.h"
#include "pyload_test_support.h"

namespace vexodl::pyload {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing::ScopedEnv;

constexpr const char* kVariables[] = {"VEXODL_PYLOAD_SOCKET",
                                      "VEXODL_PYLOAD_CLI",
                                      "VEXODL_PYLOAD_CONNECT_TIMEOUT_MS",
                                      "VEXODL_PYLOAD_SOCKET_TIMEOUT_MS",
                                      "VEXODL_PYLOAD_READY_TIMEOUT_MS",
                                      "VEXODL_PYLOAD_CLI_TIMEOUT_MS",
                                      "VEXODL_PYLOAD_MAX_ANSWER_BYTES"};

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kVariables) env_.Set(name, std::nullopt);
  }

  // The code and message of the VexoError that reading the settings throws.
  static std::pair<int, std::string> Refusal() {
    try {
      internal::SettingsFromEnvironment();
    } catch (const VexoError& error) {
      return {error.code, error.what()};
    }
    return {0, "nothing thrown"};
  }

  ScopedEnv env_;
};

TEST_F(SettingsTest, WithoutOverridesEveryValueIsTheDocumentedDefault) {
  const internal::Settings settings = internal::SettingsFromEnvironment();
  EXPECT_EQ("/run/vexodl/pyload.sock", settings.socket_path);
  EXPECT_EQ("/usr/lib/vexodl/pyload-cli", settings.program_path);
  EXPECT_EQ(2000, settings.connect_timeout.count());
  EXPECT_EQ(10000, settings.socket_timeout.count());
  EXPECT_EQ(500, settings.ready_timeout.count());
  EXPECT_EQ(30000, settings.program_timeout.count());
  EXPECT_EQ(4u * 1024 * 1024, settings.max_answer_bytes);
}

TEST_F(SettingsTest, EveryVariableOverridesItsValue) {
  env_.Set("VEXODL_PYLOAD_SOCKET", std::string("/tmp/p.sock"));
  env_.Set("VEXODL_PYLOAD_CLI", std::string("/opt/bin/cli"));
  env_.Set("VEXODL_PYLOAD_CONNECT_TIMEOUT_MS", std::string("11"));
  env_.Set("VEXODL_PYLOAD_SOCKET_TIMEOUT_MS", std::string("12"));
  env_.Set("VEXODL_PYLOAD_READY_TIMEOUT_MS", std::string("13"));
  env_.Set("VEXODL_PYLOAD_CLI_TIMEOUT_MS", std::string("3600000"));
  env_.Set("VEXODL_PYLOAD_MAX_ANSWER_BYTES", std::string("64"));
  const internal::Settings settings = internal::SettingsFromEnvironment();
  EXPECT_EQ("/tmp/p.sock", settings.socket_path);
  EXPECT_EQ("/opt/bin/cli", settings.program_path);
  EXPECT_EQ(11, settings.connect_timeout.count());
  EXPECT_EQ(12, settings.socket_timeout.count());
  EXPECT_EQ(13, settings.ready_timeout.count());
  EXPECT_EQ(3600000, settings.program_timeout.count());
  EXPECT_EQ(64u, settings.max_answer_bytes);
}

TEST_F(SettingsTest, MalformedNumbersAreRefusedWith2501NamingTheVariable) {
  for (const char* text : {"", "0", "-5", "+5", "10ms", " 10", "3600001", "99999999999999999999"}) {
    env_.Set("VEXODL_PYLOAD_SOCKET_TIMEOUT_MS", std::string(text));
    const auto [code, message] = Refusal();
    EXPECT_EQ(2501, code) << '"' << text << '"';
    EXPECT_EQ("VEXODL_PYLOAD_SOCKET_TIMEOUT_MS must be a whole number from 1 to 3600000", message);
  }
  env_.Set("VEXODL_PYLOAD_SOCKET_TIMEOUT_MS", std::nullopt);
  env_.Set("VEXODL_PYLOAD_MAX_ANSWER_BYTES", std::string("63"));
  EXPECT_EQ(std::make_pair(2501, std::string("VEXODL_PYLOAD_MAX_ANSWER_BYTES must be a whole "
                                             "number from 64 to 268435456")),
            Refusal());
}

TEST_F(SettingsTest, EmptyPathsAreRefusedWith2501) {
  env_.Set("VEXODL_PYLOAD_CLI", std::string(""));
  EXPECT_EQ(std::make_pair(2501, std::string("VEXODL_PYLOAD_CLI is set but empty")), Refusal());
}

TEST_F(SettingsTest, ASocketPathThatDoesNotFitSunPathIsRefusedWith2502) {
  env_.Set("VEXODL_PYLOAD_SOCKET", "/tmp/" + std::string(102, 's'));  // 107 bytes: fits
  EXPECT_NO_THROW(internal::SettingsFromEnvironment());
  env_.Set("VEXODL_PYLOAD_SOCKET", "/tmp/" + std::string(103, 's'));  // 108: no room for NUL
  EXPECT_EQ(std::make_pair(2502, std::string("pyLoad socket path is longer than 107 bytes")),
            Refusal());
}

TEST_F(SettingsTest, ChannelsRefuseUnusableSettingsWhenConstructedAndReadinessSaysNo) {
  env_.Set("VEXODL_PYLOAD_READY_TIMEOUT_MS", std::string("soon"));
  try {
    rpc::DomainSocketHandler channel;
    ADD_FAILURE() << "DomainSocketHandler accepted VEXODL_PYLOAD_READY_TIMEOUT_MS=soon";
  } catch (const VexoError& error) {
    EXPECT_EQ(2501, error.code);
  }
  try {
    rpc::CommandlineHandler channel;
    ADD_FAILURE() << "CommandlineHandler accepted VEXODL_PYLOAD_READY_TIMEOUT_MS=soon";
  } catch (const VexoError& error) {
    EXPECT_EQ(2501, error.code);
  }
  EXPECT_FALSE(Utils::IsPyLoadDomainSocketReady());
}

}  // namespace
}  // namespace vexodl::pyload
