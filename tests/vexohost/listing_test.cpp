// Shipped and user plug-ins: what List and AccountGet find, which ones HostDelete may remove,
// where the state directory is, and the host names that calls take.
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
#include "state_dir_fixture.h"

namespace vexodl::vexohost::test {
namespace {

using ::testing::AllOf;
using ::testing::StartsWith;

class PluginsTest : public StateDirTest {};

// A shipped plug-in hides a user plug-in of its name; the password is never shown.
TEST_F(PluginsTest, ListShowsEachPluginOnceWithWhatIsStored) {
  Ship("filedrop");
  InstallUser("cloudvault");
  WritePlugin("user", "filedrop", ManifestText("filedrop", "9.9"));
  Handler("filedrop").AccountSet("alice", "s3cret");
  Handler("cloudvault").HostEnabledSet(false);
  EXPECT_EQ(ParseJson(R"([
    {"name": "cloudvault", "description": "CloudVault shared folders; downloads need an account",
     "version": "1.0", "newversion": "1.0", "enable": false, "user": true, "authentication": "yes"},
    {"name": "filedrop",
     "description": "FileDrop one-click hosting; premium accounts lift the speed limit",
     "version": "2.3.1", "newversion": "2.3.1", "enable": true, "user": false,
     "authentication": "yes", "username": "alice"}])"),
            HostList());
}

TEST_F(PluginsTest, BrokenPluginsAreLeftOutAndAccountGetSaysWhy) {
  Ship("openmirror");
  const std::string head = R"({"format": 1, "description": "", "authentication": "no", )";
  const std::vector<std::vector<std::string>> rows = {
      // folder, manifest.json, why
      {"cut", R"({"format": 1,)", "not valid JSON"},
      {"twice", head + R"("format": 1, "name": "twice", "version": "1"})", "not valid JSON"},
      {"trailing", ManifestText("trailing") + " x", "not valid JSON"},
      {"deep", std::string(2000, '['), "not valid JSON"},
      {"array", "[1]", "not a JSON object"},
      {"future", ManifestText("future").replace(11, 1, "2"), "format 2 is not supported"},
      {"other", ManifestText("someoneelse"), R"("name" is "someoneelse", not the folder's name)"},
      {"maybe", ManifestText("maybe", "1", "maybe"), R"("authentication" is neither)"},
      {"noversion", ManifestText("noversion", ""), R"("version" must be 1 to 64 of)"},
      {"climb", head + R"("name": "climb", "version": "1", "verifier": "../v"})",
       R"("verifier" is not a plain file name)"},
      {"huge", ManifestText("huge") + std::string(64 * 1024, ' '), "is larger than 65536 bytes"},
      {"none", "", "No such file or directory"},
  };
  for (const auto& row : rows) {
    WriteFile(Path("user/" + row[0] + (row[1].empty() ? "/readme" : "/manifest.json")), row[1]);
  }
  ASSERT_EQ(1u, HostList().size()) << Text(HostList());
  for (const auto& row : rows) {
    EXPECT_THAT(Outcome([&] { HostObject(row[0]); }),
                AllOf(StartsWith("2003 host plug-in \"" + row[0] +
                                 "\" is broken: " + Path("user/" + row[0] + "/manifest.json")),
                      ::testing::HasSubstr(row[2])));
  }
  EXPECT_EQ("2002 no host plug-in named \"nosuch\"", Outcome([] { HostObject("nosuch"); }));
}

// Only user plug-ins go, with their rows; a user copy hidden by a shipped plug-in is refused too.
TEST_F(PluginsTest, DeleteRemovesUserPluginsWithTheirRowsAlone) {
  Ship("filedrop");
  WritePlugin("user", "filedrop", ManifestText("filedrop", "9.9"));
  InstallUser("cloudvault");
  Handler("cloudvault").AccountSet("carol", "two");
  Handler("filedrop").AccountSet("alice", "one");
  EXPECT_EQ(
      "2004 host plug-in \"filedrop\" is shipped with the download manager and cannot be removed",
      Outcome([] { Handler("filedrop").HostDelete(); }));
  EXPECT_EQ("2002 no host plug-in named \"nosuch\"",
            Outcome([] { Handler("nosuch").HostDelete(); }));
  EXPECT_EQ("ok", Outcome([] { Handler("cloudvault").HostDelete(); }));
  EXPECT_FALSE(Exists(Path("user/cloudvault")));
  EXPECT_TRUE(Exists(Path("shipped/filedrop/manifest.json")));
  EXPECT_TRUE(Exists(Path("user/filedrop/manifest.json")));
  EXPECT_EQ("<none> NULL|alice|one", Row("cloudvault") + " " + Row("filedrop"));
}

TEST(StateDirSettingTest, AMissingOrRelativeStateDirectoryIs2100) {
  const fake::TempDir dir;
  const std::vector<std::pair<std::string, std::string>> rows = {
      {dir / "absent", "state directory " + (dir / "absent") + " does not exist"},
      {"var/lib/vexodl",
       "VEXODL_VEXOHOST_STATE_DIR must be an absolute path, not \"var/lib/vexodl\""},
  };
  for (const auto& [value, message] : rows) {
    const fake::ScopedEnv env{{"VEXODL_VEXOHOST_STATE_DIR", value}};
    EXPECT_EQ("2100 " + message, Outcome(HostList));
    EXPECT_EQ("2100 " + message, Outcome([] { Handler("filedrop").HostEnabledSet(true); }));
  }
  EXPECT_FALSE(Exists(dir / "absent"));
}

// Every call that takes a host name checks it before it looks at the state directory: here the
// directory does not exist, so a call that looked first would fail with 2100 instead.
class HostNameTest : public ::testing::Test {
 protected:
  fake::TempDir dir_;
  fake::ScopedEnv env_{{"VEXODL_VEXOHOST_STATE_DIR", dir_ / "absent"}};
};

TEST_F(HostNameTest, EveryCallChecksTheNameFirst) {
  Json::Value out;
  const std::vector<std::pair<const char*, std::function<void(Handler&)>>> calls = {
      {"AccountGet", [&](Handler& h) { h.AccountGet(out); }},
      {"AccountSet", [](Handler& h) { h.AccountSet("u", "p"); }},
      {"AccountVerify", [&](Handler& h) { h.AccountVerify(out, "u", "p"); }},
      {"HostDelete", [](Handler& h) { h.HostDelete(); }},
      {"HostUpdate", [](Handler& h) { h.HostUpdate("https://updates.example/"); }},
      {"HostEnabledSet", [](Handler& h) { h.HostEnabledSet(false); }},
      {"HostRemoveAccount", [](Handler& h) { h.HostRemoveAccount(); }},
  };
  for (const auto& [label, call] : calls) {
    Handler handler("../x");
    EXPECT_EQ("2001 invalid host name \"../x\": only letters, digits, '.', '_' and '-' are allowed",
              Outcome([&] { call(handler); }))
        << label;
  }
}

TEST_F(HostNameTest, TheRefusalSaysWhyAndShowsTheNameEscaped) {
  const std::string letters = "only letters, digits, '.', '_' and '-' are allowed";
  const std::vector<std::vector<std::string>> rows = {
      // name, as shown, why
      {"", "", "it is empty"},
      {"..", "..", "it names a directory"},
      {std::string(65, 'a'), std::string(65, 'a'), "it is longer than 64 bytes"},
      {"a\"b\n", "a\\x22b\\x0a", letters},
      {std::string("nul\0", 4), "nul\\x00", letters},
      {"caf\xc3\xa9", "caf\\xc3\\xa9", letters},
  };
  for (const auto& row : rows) {
    EXPECT_EQ("2001 invalid host name \"" + row[1] + "\": " + row[2],
              Outcome([&] { Handler(row[0]).HostDelete(); }));
  }
}

TEST_F(PluginsTest, SixtyFourBytesAreTheLongestName) {
  const std::string longest(64, 'z');
  WritePlugin("user", longest, ManifestText(longest));
  EXPECT_EQ(longest, HostObject(longest)["name"].asString());
}

}  // namespace
}  // namespace vexodl::vexohost::test
