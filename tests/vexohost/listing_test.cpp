// List and AccountGet: the service host objects read from plug-in folders and the account store.
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
#include "state_dir_fixture.h"

namespace vexodl::vexohost::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

Json::Value ListAll() {
  Json::Value out;
  Handler("").List(out);
  return out;
}

Json::Value Get(const std::string& name) {
  Json::Value out;
  Handler(name).AccountGet(out);
  return out;
}

class ListingTest : public StateDirTest {};

TEST_F(ListingTest, ListsShippedAndUserPluginsSortedByName) {
  Ship("youtube");
  Ship("filedrop");
  InstallUser("cloudvault");
  EXPECT_EQ(ParseJson(R"([
    {"name": "cloudvault", "description": "CloudVault shared folders; downloads need an account",
     "version": "1.0", "newversion": "1.0", "enable": true, "user": true, "authentication": "yes"},
    {"name": "filedrop",
     "description": "FileDrop one-click hosting; premium accounts lift the speed limit",
     "version": "2.3.1", "newversion": "2.3.1", "enable": true, "user": false,
     "authentication": "yes"},
    {"name": "youtube",
     "description": "Video pages; the download manager handles them itself and lists no host for them",
     "version": "1.4", "newversion": "1.4", "enable": true, "user": false, "authentication": "no"}
  ])"),
            ListAll());
}

TEST_F(ListingTest, EmptyStateDirectoryListsNothingAndCreatesNothing) {
  Json::Value out = ParseJson(R"({"stale": 1})");
  EXPECT_EQ(0, Handler("").List(out));
  EXPECT_EQ(ParseJson("[]"), out);
  EXPECT_FALSE(Exists(Path("accounts.db")));
  EXPECT_FALSE(Exists(Path("lock")));
}

TEST_F(ListingTest, ListShowsStoredAccountAndEnabledStateButNeverThePassword) {
  Ship("filedrop");
  Ship("openmirror");
  Handler("filedrop").AccountSet("alice", "s3cret-pass");
  Handler("openmirror").HostEnabledSet(false);
  const Json::Value listing = ListAll();
  EXPECT_EQ(ParseJson(R"({"name": "filedrop",
     "description": "FileDrop one-click hosting; premium accounts lift the speed limit",
     "version": "2.3.1", "newversion": "2.3.1", "enable": true, "user": false,
     "authentication": "yes", "username": "alice"})"),
            listing[0]);
  EXPECT_EQ(false, listing[1]["enable"].asBool());
  EXPECT_FALSE(listing[1].isMember("username"));
  EXPECT_THAT(Text(listing), Not(HasSubstr("s3cret-pass")));
  EXPECT_THAT(Text(Get("filedrop")), Not(HasSubstr("s3cret-pass")));
}

TEST_F(ListingTest, ShippedPluginHidesAUserPluginOfTheSameName) {
  Ship("filedrop");
  WritePlugin("user", "filedrop", ManifestText("filedrop", "9.9"));
  const Json::Value listing = ListAll();
  ASSERT_EQ(1u, listing.size());
  EXPECT_EQ("2.3.1", listing[0]["version"].asString());
  EXPECT_FALSE(listing[0]["user"].asBool());
  EXPECT_EQ("2.3.1", Get("filedrop")["version"].asString());
}

TEST_F(ListingTest, BrokenManifestsAreSkippedAndTheRestListed) {
  Ship("openmirror");
  WritePlugin("shipped", "notjson", "{\"format\": 1,");
  WritePlugin("shipped", "array", "[1]");
  WritePlugin("user", "noformat", R"({"name": "noformat", "description": "", "version": "1",
                                      "authentication": "no"})");
  WritePlugin("user", "future", R"({"format": 2, "name": "future", "description": "",
                                    "version": "1", "authentication": "no"})");
  WritePlugin("user", "othername", ManifestText("someoneelse"));
  WritePlugin("user", "maybe", ManifestText("maybe", "1.0", "maybe"));
  WritePlugin("user", "noversion", ManifestText("noversion", ""));
  WritePlugin("user", "badverifier", R"({"format": 1, "name": "badverifier", "description": "",
      "version": "1", "authentication": "no", "verifier": "../../bin/sh"})");
  WritePlugin("user", "huge", ManifestText("huge") + std::string(64 * 1024, ' '));
  WritePlugin("user", "dupkey", R"({"format": 1, "format": 1, "name": "dupkey",
      "description": "", "version": "1", "authentication": "no"})");
  WriteFile(Path("user/nomanifest/readme"), "no manifest here");
  WriteFile(Path("user/file-not-folder"), ManifestText("file-not-folder"));
  WriteFile(Path("user/dirmanifest/manifest.json/x"), "");
  WritePlugin("user", "bad name", ManifestText("bad name"));
  WritePlugin("user", "deep", std::string(2000, '['));

  const Json::Value listing = ListAll();
  ASSERT_EQ(1u, listing.size()) << Text(listing);
  EXPECT_EQ("openmirror", listing[0]["name"].asString());
}

TEST_F(ListingTest, ManifestWithVerifierAndUnknownMembersIsAPlugin) {
  WritePlugin("user", "withextras", R"({"format": 1, "name": "withextras", "description": "d",
      "version": "1.2.3-rc1+b7", "authentication": "no", "verifier": "verify.sh",
      "homepage": "https://example.org/"})");
  EXPECT_EQ(ParseJson(R"({"name": "withextras", "description": "d", "version": "1.2.3-rc1+b7",
                     "newversion": "1.2.3-rc1+b7", "enable": true, "user": true,
                     "authentication": "no"})"),
            Get("withextras"));
}

TEST_F(ListingTest, AccountGetReportsWhyAManifestIsBroken) {
  WritePlugin("user", "future", R"({"format": 2, "name": "future", "description": "",
                                    "version": "1", "authentication": "no"})");
  WritePlugin("user", "othername", ManifestText("someoneelse"));
  WriteFile(Path("user/nomanifest/readme"), "");

  Thrown future = ErrorOf([] { Get("future"); });
  EXPECT_EQ(2003, future.code);
  EXPECT_THAT(future.message, HasSubstr("host plug-in \"future\" is broken"));
  EXPECT_THAT(future.message, HasSubstr("format 2 is not supported (this build reads 1)"));

  Thrown othername = ErrorOf([] { Get("othername"); });
  EXPECT_EQ(2003, othername.code);
  EXPECT_THAT(othername.message, HasSubstr("\"name\" is \"someoneelse\", not the folder's name"));

  Thrown missing = ErrorOf([] { Get("nomanifest"); });
  EXPECT_EQ(2003, missing.code);
  EXPECT_THAT(missing.message, HasSubstr("manifest.json: No such file or directory"));
}

TEST_F(ListingTest, AccountGetOfANameWithNoPluginThrows) {
  Ship("filedrop");
  Json::Value out;
  Thrown thrown = ErrorOf([&] { Handler("filedropp").AccountGet(out); });
  EXPECT_EQ(2002, thrown.code);
  EXPECT_EQ("no host plug-in named \"filedropp\"", thrown.message);
  EXPECT_TRUE(out.isNull());
}

class StateDirSettingTest : public ::testing::Test {
 protected:
  ~StateDirSettingTest() override { ::unsetenv("VEXODL_VEXOHOST_STATE_DIR"); }
};

TEST_F(StateDirSettingTest, MissingStateDirectoryFailsEveryCall) {
  fake::TempDir dir;
  ::setenv("VEXODL_VEXOHOST_STATE_DIR", (dir / "absent").c_str(), 1);
  Json::Value out;
  Thrown list = ErrorOf([&] { Handler("").List(out); });
  EXPECT_EQ(2100, list.code);
  EXPECT_EQ("state directory " + (dir / "absent") + " does not exist", list.message);
  EXPECT_EQ(2100, ErrorOf([] { Handler("filedrop").HostEnabledSet(true); }).code);
  EXPECT_FALSE(Exists(dir / "absent"));
}

TEST_F(StateDirSettingTest, RelativeStateDirectoryIsRefused) {
  ::setenv("VEXODL_VEXOHOST_STATE_DIR", "var/lib/vexodl", 1);
  Json::Value out;
  Thrown thrown = ErrorOf([&] { Handler("").List(out); });
  EXPECT_EQ(2100, thrown.code);
  EXPECT_EQ("VEXODL_VEXOHOST_STATE_DIR must be an absolute path, not \"var/lib/vexodl\"",
            thrown.message);
}

}  // namespace
}  // namespace vexodl::vexohost::test
