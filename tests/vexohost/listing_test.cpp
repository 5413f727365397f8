// Shipped and user plug-ins: what List and AccountGet find, which ones HostDelete may remove,
// where the state directory is, and the host names that calls take.
#include <syslog.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
#include "state_dir_fixture.h"
#include "syslog_capture.h"

namespace vexodl::vexohost::test {
namespace {

using fake::LogLine;
using fake::OneLine;
using ::testing::AllOf;
using ::testing::StartsWith;

class PluginsTest : public StateDirTest {};

TEST_F(PluginsTest, BrokenPluginsAreLeftOutAndAccountGetSaysWhy) {
  Ship("openmirror");
  const std::vector<std::vector<std::string>> rows = {
      // folder, manifest.json, why
      {"trailing", ManifestText("trailing") + " x", "not valid JSON"},
      {"other", ManifestText("someoneelse"), R"("name" is "someoneelse", not the folder's name)"},
  };
  for (const auto& row : rows) WritePlugin("user", row[0], row[1]);
  // A broken shipped plug-in keeps its name from the user's valid copy.
  WriteFile(Path("shipped/shadow/manifest.json"), "[1]");
  WritePlugin("user", "shadow", ManifestText("shadow"));
  fake::ClearSyslog();
  ASSERT_EQ(1u, HostList().size());
  const std::vector<LogLine> listed = fake::SyslogLines();
  // Each left out with a warning that gives the reason that AccountGet's error gives.
  std::vector<LogLine> warnings;
  for (const auto& row : rows) {
    const std::string outcome = Outcome([&] { HostObject(row[0]); });
    EXPECT_THAT(outcome, AllOf(StartsWith("2003 host plug-in \"" + row[0] + "\" is broken: " +
                                          Path("user/" + row[0] + "/manifest.json")),
                               ::testing::HasSubstr(row[2])));
    const std::string why = outcome.substr(outcome.find(Path("user/")));
    warnings.push_back({LOG_WARNING, "vexohost: list " + row[0] + ": left out: " + why});
  }
  EXPECT_EQ("2003 host plug-in \"shadow\" is broken: " + Path("shipped/shadow/manifest.json") +
                ": not a JSON object",
            Outcome([] { HostObject("shadow"); }));
  warnings.push_back(
      {LOG_WARNING, "vexohost: list shadow: left out: " + Path("shipped/shadow/manifest.json") +
                        ": not a JSON object"});
  warnings.push_back({LOG_WARNING, "vexohost: list shadow: left out " + Path("user/shadow") +
                                       ": a shipped plug-in has its name"});
  EXPECT_THAT(listed, ::testing::UnorderedElementsAreArray(warnings));
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
    fake::ClearSyslog();
    EXPECT_EQ("2100 " + message, Outcome(HostList));
    EXPECT_EQ(OneLine(LOG_ERR, "vexohost: list: " + message + " (error 2100)"),
              fake::SyslogLines());
    EXPECT_EQ("2100 " + message, Outcome([] { Handler("filedrop").HostEnabledSet(true); }));
  }
  EXPECT_FALSE(Exists(dir / "absent"));
}

// Every call that takes a host name checks it before it looks at the state directory: here the
// directory does not exist, so a call that looked first would fail with 2100 instead, as a name
// of 64 bytes, the longest, does.
class HostNameTest : public ::testing::Test {
 protected:
  fake::TempDir dir_;
  fake::ScopedEnv env_{{"VEXODL_VEXOHOST_STATE_DIR", dir_ / "absent"}};
};

TEST_F(HostNameTest, EveryCallChecksTheNameFirstAndSaysWhy) {
  Json::Value out;
  // Each by the name that the service's syslog line gives the call.
  const std::map<std::string, std::function<void(Handler&)>> calls = {
      {"get", [&](Handler& h) { h.AccountGet(out); }},
      {"set", [](Handler& h) { h.AccountSet("u", "p"); }},
      {"verify", [&](Handler& h) { h.AccountVerify(out, "u", "p"); }},
      {"delete", [](Handler& h) { h.HostDelete(); }},
      {"update", [](Handler& h) { h.HostUpdate("https://updates.example/"); }},
      {"enable", [](Handler& h) { h.HostEnabledSet(true); }},
      {"disable", [](Handler& h) { h.HostEnabledSet(false); }},
      {"remove-account", [](Handler& h) { h.HostRemoveAccount(); }},
  };
  const std::string letters = "only letters, digits, '.', '_' and '-' are allowed";
  const auto refused = [](const std::string& shown, const std::string& why) {
    return "2001 invalid host name \"" + shown + "\": " + why;
  };
  const std::string longest(64, 'z');
  struct Row {
    std::string call, name;
    std::string error;   // "<code> <message>"
    std::string logged;  // the call and name as the syslog line shows them
  };
  std::vector<Row> rows = {
      {"delete", longest + "z", refused(longest + "z", "it is longer than 64 bytes"),
       "delete " + longest + "z"},
      {"delete", longest, "2100 state directory " + (dir_ / "absent") + " does not exist",
       "delete " + longest},
  };
  for (const auto& [call, run] : calls) {
    rows.push_back({call, "../x", refused("../x", letters), call + " ../x"});
  }
  for (const auto& row : rows) {
    Handler handler(row.name);
    fake::ClearSyslog();
    EXPECT_EQ(row.error, Outcome([&] { calls.at(row.call)(handler); })) << row.logged;
    EXPECT_EQ(OneLine(LOG_ERR, "vexohost: " + row.logged + ": " + row.error.substr(5) + " (error " +
                                   row.error.substr(0, 4) + ")"),
              fake::SyslogLines());
  }
}

}  // namespace
}  // namespace vexodl::vexohost::test
