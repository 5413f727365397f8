// Every call that takes a host name checks it before it touches anything.
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
#include "state_dir_fixture.h"

namespace vexodl::vexohost::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

struct Call {
  const char* label;
  std::function<void(Handler&)> run;
};

const std::vector<Call>& CallsTakingAName() {
  static const std::vector<Call> calls = {
      {"AccountGet",
       [](Handler& h) {
         Json::Value out;
         h.AccountGet(out);
       }},
      {"AccountSet", [](Handler& h) { h.AccountSet("user", "password"); }},
      {"AccountVerify",
       [](Handler& h) {
         Json::Value info;
         h.AccountVerify(info, "u", "p");
       }},
      {"HostDelete", [](Handler& h) { h.HostDelete(); }},
      {"HostUpdate", [](Handler& h) { h.HostUpdate("https://updates.example/"); }},
      {"HostEnabledSet", [](Handler& h) { h.HostEnabledSet(false); }},
      {"HostRemoveAccount", [](Handler& h) { h.HostRemoveAccount(); }},
  };
  return calls;
}

struct BadName {
  std::string name;
  std::string reason;
};

const std::vector<BadName>& BadNames() {
  static const std::vector<BadName> names = {
      {"", "it is empty"},
      {".", "it names a directory"},
      {"..", "it names a directory"},
      {"../../etc", "only letters, digits, '.', '_' and '-' are allowed"},
      {"../user/victim", "only letters, digits, '.', '_' and '-' are allowed"},
      {"/etc", "only letters, digits, '.', '_' and '-' are allowed"},
      {"two words", "only letters, digits, '.', '_' and '-' are allowed"},
      {"line\nbreak", "only letters, digits, '.', '_' and '-' are allowed"},
      {std::string("nul\0byte", 8), "only letters, digits, '.', '_' and '-' are allowed"},
      {"caf\xc3\xa9", "only letters, digits, '.', '_' and '-' are allowed"},
      {std::string(65, 'a'), "it is longer than 64 bytes"},
  };
  return names;
}

class HostNameTest : public ::testing::TestWithParam<std::tuple<size_t, size_t>> {
 protected:
  ~HostNameTest() override { ::unsetenv("VEXODL_VEXOHOST_STATE_DIR"); }
};

// The state directory named does not exist: a call that looked at the file system before checking
// the name would fail with 2100 instead.
TEST_P(HostNameTest, RefusedBeforeTheFileSystemIsTouched) {
  const Call& call = CallsTakingAName()[std::get<0>(GetParam())];
  const BadName& bad = BadNames()[std::get<1>(GetParam())];
  fake::TempDir dir;
  ::setenv("VEXODL_VEXOHOST_STATE_DIR", (dir / "absent").c_str(), 1);
  Handler handler(bad.name);
  Thrown thrown = ErrorOf([&] { call.run(handler); });
  EXPECT_EQ(2001, thrown.code) << call.label << ": " << thrown.message;
  EXPECT_THAT(thrown.message, HasSubstr("invalid host name \""));
  EXPECT_THAT(thrown.message, HasSubstr(bad.reason));
  EXPECT_THAT(thrown.message, Not(HasSubstr("\n")));
}

INSTANTIATE_TEST_SUITE_P(EveryCallEveryName, HostNameTest,
                         ::testing::Combine(::testing::Range<size_t>(0, 7),
                                            ::testing::Range<size_t>(0, 11)),
                         [](const auto& info) {
                           return std::string(CallsTakingAName()[std::get<0>(info.param)].label) +
                                  "_" + std::to_string(std::get<1>(info.param));
                         });

class HostNameStoreTest : public StateDirTest {};

TEST_F(HostNameStoreTest, TraversalNeverReachesAPluginOutsideItsFolder) {
  InstallUser("cloudvault");
  Handler handler("../user/cloudvault");
  EXPECT_EQ(2001, ErrorOf([&] { handler.HostDelete(); }).code);
  EXPECT_EQ(2001, ErrorOf([&] { handler.AccountSet("u", "p"); }).code);
  EXPECT_TRUE(Exists(Path("user/cloudvault/manifest.json")));
  EXPECT_FALSE(Exists(Path("accounts.db")));
}

TEST_F(HostNameStoreTest, MessageShowsAHostileNameEscaped) {
  Thrown thrown = ErrorOf([] { Handler("a\"b\n").HostDelete(); });
  EXPECT_EQ(
      "invalid host name \"a\\x22b\\x0a\": only letters, digits, '.', '_' and '-' are allowed",
      thrown.message);
}

TEST_F(HostNameStoreTest, LongestAndOddButValidNamesAreAccepted) {
  const std::string longest(64, 'z');
  WritePlugin("user", longest, ManifestText(longest));
  WritePlugin("user", ".hidden_-1", ManifestText(".hidden_-1"));
  Json::Value out;
  Handler(longest).AccountGet(out);
  EXPECT_EQ(longest, out["name"].asString());
  Handler(".hidden_-1").AccountSet("u", "p");
  EXPECT_EQ("NULL|u|p", Row(".hidden_-1"));
}

TEST_F(HostNameStoreTest, ListIgnoresTheHandlerName) {
  Ship("openmirror");
  Json::Value out;
  Handler("../../etc").List(out);
  ASSERT_EQ(1u, out.size());
  EXPECT_EQ("openmirror", out[0]["name"].asString());
}

}  // namespace
}  // namespace vexodl::vexohost::test
