// AccountSet, HostRemoveAccount, HostEnabledSet, HostDelete. Installs, updates and verifiers
// have tests of their own.
#include <filesystem>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
#include "state_dir_fixture.h"

namespace vexodl::vexohost::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

Json::Value Get(const std::string& name) {
  Json::Value out;
  Handler(name).AccountGet(out);
  return out;
}

class AccountTest : public StateDirTest {};

TEST_F(AccountTest, AccountSetStoresUserNameAndPassword) {
  Ship("filedrop");
  EXPECT_EQ(0, Handler("filedrop").AccountSet("alice", "pa ss\"word"));
  EXPECT_EQ("NULL|alice|pa ss\"word", Row("filedrop"));
  EXPECT_EQ("alice", Get("filedrop")["username"].asString());
}

TEST_F(AccountTest, AccountSetReplacesTheAccountAndKeepsTheEnabledState) {
  Ship("filedrop");
  Handler("filedrop").HostEnabledSet(false);
  Handler("filedrop").AccountSet("alice", "one");
  Handler("filedrop").AccountSet("bob", "two");
  EXPECT_EQ("0|bob|two", Row("filedrop"));
}

TEST_F(AccountTest, AccountSetWithAnEmptyUserNameClearsTheAccount) {
  Ship("filedrop");
  Handler("filedrop").AccountSet("alice", "one");
  Handler("filedrop").AccountSet("", "");
  EXPECT_EQ("<none>", Row("filedrop"));
  EXPECT_FALSE(Get("filedrop").isMember("username"));
}

TEST_F(AccountTest, AccountSetForAnUnknownOrBrokenHostStoresNothing) {
  WritePlugin("user", "broken", "{}");
  Thrown unknown = ErrorOf([] { Handler("nosuchhost").AccountSet("u", "secret-pw"); });
  EXPECT_EQ(2002, unknown.code);
  EXPECT_THAT(unknown.message, Not(HasSubstr("secret-pw")));
  Thrown broken = ErrorOf([] { Handler("broken").AccountSet("u", "secret-pw"); });
  EXPECT_EQ(2003, broken.code);
  EXPECT_THAT(broken.message, Not(HasSubstr("secret-pw")));
  EXPECT_FALSE(Exists(Path("accounts.db")));
}

TEST_F(AccountTest, HostRemoveAccountKeepsTheEnabledState) {
  Ship("filedrop");
  Ship("cloudvault");
  Handler("filedrop").AccountSet("alice", "one");
  Handler("filedrop").HostEnabledSet(false);
  Handler("cloudvault").AccountSet("carol", "two");
  EXPECT_EQ(0, Handler("filedrop").HostRemoveAccount());
  EXPECT_EQ("0|NULL|NULL", Row("filedrop"));
  EXPECT_EQ("NULL|carol|two", Row("cloudvault"));
}

TEST_F(AccountTest, HostRemoveAccountWithNothingStoredSucceeds) {
  Ship("filedrop");
  EXPECT_EQ(0, Handler("filedrop").HostRemoveAccount());
  EXPECT_EQ(2002, ErrorOf([] { Handler("nosuchhost").HostRemoveAccount(); }).code);
}

TEST_F(AccountTest, HostRemoveAccountWorksOnABrokenPlugin) {
  InstallUser("cloudvault");
  Handler("cloudvault").AccountSet("carol", "two");
  WriteFile(Path("user/cloudvault/manifest.json"), "garbage");
  EXPECT_EQ(0, Handler("cloudvault").HostRemoveAccount());
  EXPECT_EQ("<none>", Row("cloudvault"));
}

TEST_F(AccountTest, HostEnabledSetStoresBothStates) {
  Ship("openmirror");
  Handler("openmirror").HostEnabledSet(false);
  EXPECT_FALSE(Get("openmirror")["enable"].asBool());
  Handler("openmirror").HostEnabledSet(true);
  EXPECT_TRUE(Get("openmirror")["enable"].asBool());
  EXPECT_EQ("1|NULL|NULL", Row("openmirror"));
  EXPECT_EQ(2002, ErrorOf([] { Handler("nosuchhost").HostEnabledSet(true); }).code);
}

class DeleteTest : public StateDirTest {};

TEST_F(DeleteTest, RemovesAUserPluginWithItsAccountAndEnabledState) {
  InstallUser("cloudvault");
  Ship("filedrop");
  Handler("cloudvault").AccountSet("carol", "two");
  Handler("cloudvault").HostEnabledSet(false);
  Handler("filedrop").AccountSet("alice", "one");

  EXPECT_EQ(0, Handler("cloudvault").HostDelete());

  EXPECT_FALSE(Exists(Path("user/cloudvault")));
  EXPECT_EQ("<none>", Row("cloudvault"));
  EXPECT_EQ("NULL|alice|one", Row("filedrop"));
  EXPECT_TRUE(std::filesystem::is_empty(Path("staging")));
  EXPECT_EQ(2002, ErrorOf([] { Get("cloudvault"); }).code);

  // Installed again, it starts afresh.
  InstallUser("cloudvault");
  const Json::Value again = Get("cloudvault");
  EXPECT_FALSE(again.isMember("username"));
  EXPECT_TRUE(again["enable"].asBool());
}

TEST_F(DeleteTest, RefusesAShippedPluginAndChangesNothing) {
  Ship("filedrop");
  Handler("filedrop").AccountSet("alice", "one");
  const std::string manifest = ReadFile(Path("shipped/filedrop/manifest.json"));
  Thrown thrown = ErrorOf([] { Handler("filedrop").HostDelete(); });
  EXPECT_EQ(2004, thrown.code);
  EXPECT_EQ("host plug-in \"filedrop\" is shipped with the download manager and cannot be removed",
            thrown.message);
  EXPECT_EQ(manifest, ReadFile(Path("shipped/filedrop/manifest.json")));
  EXPECT_EQ("NULL|alice|one", Row("filedrop"));
}

TEST_F(DeleteTest, RefusesAUserCopyHiddenByAShippedPlugin) {
  Ship("filedrop");
  WritePlugin("user", "filedrop", ManifestText("filedrop", "9.9"));
  EXPECT_EQ(2004, ErrorOf([] { Handler("filedrop").HostDelete(); }).code);
  EXPECT_TRUE(Exists(Path("user/filedrop/manifest.json")));
}

TEST_F(DeleteTest, RefusesAnUnknownName) {
  InstallUser("cloudvault");
  Thrown thrown = ErrorOf([] { Handler("cloudvaul").HostDelete(); });
  EXPECT_EQ(2002, thrown.code);
  EXPECT_EQ("no host plug-in named \"cloudvaul\"", thrown.message);
  EXPECT_TRUE(Exists(Path("user/cloudvault/manifest.json")));
}

TEST_F(DeleteTest, RemovesABrokenUserPluginAndLeftoversOfAnInterruptedChange) {
  WritePlugin("user", "broken", "not json");
  WriteFile(Path("staging/leftover/manifest.json"), "from a change that was interrupted");
  EXPECT_EQ(0, Handler("broken").HostDelete());
  EXPECT_FALSE(Exists(Path("user/broken")));
  EXPECT_FALSE(Exists(Path("staging/leftover")));
}

TEST_F(DeleteTest, KeepsThePluginWhenTheDatabaseCannotBeChanged) {
  InstallUser("cloudvault");
  WriteFile(Path("accounts.db"), std::string(4096, 'x'));
  Thrown thrown = ErrorOf([] { Handler("cloudvault").HostDelete(); });
  EXPECT_EQ(2200, thrown.code);
  EXPECT_TRUE(Exists(Path("user/cloudvault/manifest.json")));
}

}  // namespace
}  // namespace vexodl::vexohost::test

namespace vexodl::vexohost::test {
namespace {

std::size_t OpenDescriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

class ResourcesTest : public StateDirTest {};

TEST_F(ResourcesTest, NoCallLeavesADescriptorOpenOnSuccessOrFailure) {
  Ship("filedrop");
  InstallUser("cloudvault");
  WritePlugin("user", "broken", "{");
  Handler("filedrop").AccountSet("warm", "up");
  const std::size_t before = OpenDescriptors();
  Json::Value out;
  Handler("").List(out);
  Handler("filedrop").AccountGet(out);
  Handler("filedrop").AccountSet("alice", "one");
  Handler("filedrop").HostEnabledSet(false);
  Handler("filedrop").HostRemoveAccount();
  Handler("cloudvault").HostDelete();
  ErrorOf([&] { Handler("broken").AccountGet(out); });
  ErrorOf([&] { Handler("filedrop").HostDelete(); });
  ErrorOf([&] { Handler("nosuchhost").AccountSet("a", "b"); });
  WriteFile(Path("accounts.db"), std::string(4096, 'x'));
  ErrorOf([&] { Handler("filedrop").HostEnabledSet(true); });
  EXPECT_EQ(before, OpenDescriptors());
}

}  // namespace
}  // namespace vexodl::vexohost::test
