// vexohost-index-tool as an update server's operator uses it: a key pair, index entries, a whole
// index and a signature that the service then accepts.
#include <ctime>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
#include "packages.h"
#include "run_program.h"
#include "scoped_env.h"
#include "state_dir_fixture.h"

namespace vexodl::vexohost::test {
namespace {

// Runs the tool with `arguments`.
fake::ProgramResult Tool(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), VEXOHOST_INDEX_TOOL);
  return fake::RunProgram(arguments, fake::CurrentEnvironment(), "");
}

using IndexToolTest = StateDirTest;

TEST_F(IndexToolTest, AnIndexSignedWithTheToolIsAcceptedByTheService) {
  const fake::TempDir server;
  WriteArchive(server / "rapidbox-1.0.tar.gz", Plugin("rapidbox", "1.0"));
  Handler("").HostAdd(server / "rapidbox-1.0.tar.gz");
  const std::string package = server / "rapidbox-1.1.tar.gz";
  WriteArchive(package, Plugin("rapidbox", "1.1"));

  const fake::ProgramResult key = Tool({"keygen", server / "secret.key"});
  ASSERT_EQ(0, key.exit_status);
  EXPECT_THAT(key.out, ::testing::MatchesRegex("[0-9a-f]{64}\n"));
  EXPECT_EQ(0600u, Mode(server / "secret.key"));
  const std::string secret = ReadFile(server / "secret.key");
  EXPECT_EQ(1, Tool({"keygen", server / "secret.key"}).exit_status);  // never overwritten
  EXPECT_EQ(secret, ReadFile(server / "secret.key"));
  EXPECT_EQ(2, Tool({}).exit_status);                                       // usage
  EXPECT_EQ(2, Tool({"index", "18446744073709551616", "30"}).exit_status);  // a serial past 2^64-1

  const Json::Value entry = ParseJson(IndexEntry(package, "1.1"));
  EXPECT_EQ(entry, ParseJson(Tool({"entry", package, "1.1"}).out));
  const fake::ProgramResult index = Tool({"index", "7", "30", "rapidbox=" + package + ":1.1"});
  ASSERT_EQ(0, index.exit_status);
  const Json::Value parsed = ParseJson(index.out);
  EXPECT_EQ(1, parsed["format"].asInt());
  EXPECT_EQ(7u, parsed["serial"].asUInt64());
  EXPECT_EQ(entry, parsed["plugins"]["rapidbox"]);
  std::tm expires{};
  ASSERT_NE(nullptr, ::strptime(parsed["expires"].asCString(), "%Y-%m-%dT%H:%M:%SZ", &expires));
  EXPECT_NEAR(std::time(nullptr) + 30 * 86400, ::timegm(&expires), 60);
  WriteFile(server / "index.json", index.out);
  ASSERT_EQ(0, Tool({"sign", server / "secret.key", server / "index.json"}).exit_status);

  const fake::ScopedEnv env{{"VEXODL_VEXOHOST_UPDATE_KEY", key.out.substr(0, 64)}};
  Handler("rapidbox").HostUpdate("file://" + server.path() + "/");
  Json::Value host;
  Handler("rapidbox").AccountGet(host);
  EXPECT_EQ("1.1", host["version"].asString());
}

}  // namespace
}  // namespace vexodl::vexohost::test
