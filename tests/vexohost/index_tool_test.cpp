// vexohost-index-tool as an update server's operator uses it: a key pair, index entries, a whole
// index and a signature that the service then accepts.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <ctime>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
#include "packages.h"
#include "state_dir_fixture.h"

namespace vexodl::vexohost::test {
namespace {

using ::testing::MatchesRegex;

class IndexToolTest : public StateDirTest {
 protected:
  ~IndexToolTest() override { ::unsetenv("VEXODL_VEXOHOST_UPDATE_KEY"); }

  // Runs the tool with `arguments` (no blanks inside one); its standard output and exit status.
  std::string Tool(const std::string& arguments, int* status) {
    FILE* pipe =
        ::popen((std::string(VEXOHOST_INDEX_TOOL) + " " + arguments + " 2>/dev/null").c_str(), "r");
    std::string out;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    const int raw = ::pclose(pipe);
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
  }

  fake::TempDir server_;
};

TEST_F(IndexToolTest, AnIndexSignedWithTheToolIsAcceptedByTheService) {
  WriteArchive(Path("p1.tar.gz"), Plugin("rapidbox", "1.0"));
  Handler("").HostAdd(Path("p1.tar.gz"));
  WriteArchive(server_ / "rapidbox-1.1.tar.gz", Plugin("rapidbox", "1.1"));

  int status = -1;
  const std::string key = Tool("keygen " + (server_ / "secret.key"), &status);
  ASSERT_EQ(0, status);
  EXPECT_THAT(key, MatchesRegex("[0-9a-f]{64}\n"));
  EXPECT_EQ(0600u, Mode(server_ / "secret.key"));

  const Json::Value entry = ParseJson(IndexEntry(server_ / "rapidbox-1.1.tar.gz", "1.1"));
  EXPECT_EQ(entry, ParseJson(Tool("entry " + (server_ / "rapidbox-1.1.tar.gz") + " 1.1", &status)));
  ASSERT_EQ(0, status);
  const std::string text =
      Tool("index 7 30 rapidbox=" + (server_ / "rapidbox-1.1.tar.gz") + ":1.1", &status);
  ASSERT_EQ(0, status);
  const Json::Value index = ParseJson(text);
  EXPECT_EQ(1, index["format"].asInt());
  EXPECT_EQ(7u, index["serial"].asUInt64());
  EXPECT_EQ(entry, index["plugins"]["rapidbox"]);
  std::tm expires{};
  ASSERT_NE(nullptr, ::strptime(index["expires"].asCString(), "%Y-%m-%dT%H:%M:%SZ", &expires));
  EXPECT_NEAR(std::time(nullptr) + 30 * 86400, ::timegm(&expires), 60);
  WriteFile(server_ / "index.json", text);
  Tool("sign " + (server_ / "secret.key") + " " + (server_ / "index.json"), &status);
  ASSERT_EQ(0, status);

  ::setenv("VEXODL_VEXOHOST_UPDATE_KEY", key.substr(0, 64).c_str(), 1);
  Handler("rapidbox").HostUpdate("file://" + server_.path() + "/");
  Json::Value host;
  Handler("rapidbox").AccountGet(host);
  EXPECT_EQ("1.1", host["version"].asString());
}

TEST_F(IndexToolTest, KeygenNeverOverwritesASecretKey) {
  WriteFile(server_ / "secret.key", "keep me\n");
  int status = -1;
  EXPECT_EQ("", Tool("keygen " + (server_ / "secret.key"), &status));
  EXPECT_EQ(1, status);
  EXPECT_EQ("keep me\n", ReadFile(server_ / "secret.key"));
  Tool("", &status);
  EXPECT_EQ(2, status);  // usage
}

}  // namespace
}  // namespace vexodl::vexohost::test
