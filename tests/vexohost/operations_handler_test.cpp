// Native hosts end to end through vexodl::filehosting::Handler over our own libvexodlvexohost:
// Create installs a package, Update fetches from a signed tree, Verify runs a verifier.
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_pyload.h"
#include "handler.h"
#include "loaded_from.h"
#include "locked_database.h"
#include "syslog_capture.h"
#include "update_fixture.h"

namespace vexodl::vexohost::test {
namespace {

using ::testing::EndsWith;
using ::testing::IsEmpty;

class NativeOperationsTest : public UpdateServerTest {
 protected:
  NativeOperationsTest() {
    fake::Pyload().Reset();
    fake::ClearSyslog();
  }
  ~NativeOperationsTest() override { ::unsetenv("VEXODL_VEXOHOST_UPDATE_MIRROR"); }

  Json::Value HostJson(const std::string& name) {
    Json::Value out;
    handler_.Get(out, name, "vexo");
    return out;
  }

  filehosting::Handler handler_;
};

TEST_F(NativeOperationsTest, TheServiceIsOurOwnLibraryNotTheFake) {
  // vexodl::vexohost::Handler::HostAdd(std::string const&)
  EXPECT_THAT(fake::FileDefining(
                  "_ZN6vexodl8vexohost7Handler7HostAddERKNSt7__cxx1112basic_stringIcSt11char_"
                  "traitsIcESaIcEEE"),
              EndsWith("/vexohost/libvexodlvexohost.so.1"));
}

TEST_F(NativeOperationsTest, CreateInstallsAPackageAsARemovableHost) {
  handler_.Create("vexo", Package("rapidbox.zip", Plugin("rapidbox", "1.0")));
  EXPECT_EQ(ParseJson(R"({"name": "rapidbox", "type": "vexo", "displayname": "rapidbox",
     "enabled": true, "description": "about rapidbox", "version": "1.0", "removable": true,
     "auth_needed": true})"),
            HostJson("rapidbox"));
  EXPECT_THAT(fake::SyslogLines(), IsEmpty());
}

TEST_F(NativeOperationsTest, UpdateFetchesFromTheMirrorOfTheBuiltInUrl) {
  handler_.Create("vexo", Package("r1.tar.gz", Plugin("rapidbox", "1.0")));
  Publish({{"rapidbox", "1.10", Package("r2.tar.gz", Plugin("rapidbox", "1.10"))}});
  ::setenv("VEXODL_VEXOHOST_UPDATE_MIRROR", ("file://" + server_.path()).c_str(), 1);
  handler_.Update("rapidbox", "vexo");
  EXPECT_EQ("1.10", HostJson("rapidbox")["version"].asString());
}

TEST_F(NativeOperationsTest, AnUpdateRefusedForItsDigestStillAnnouncesTheNewVersion) {
  handler_.Create("vexo", Package("r1.tar.gz", Plugin("rapidbox", "1.0")));
  const std::string package = Package("r2.tar.gz", Plugin("rapidbox", "2.0"));
  Publish({{"rapidbox", "2.0", package}});
  WriteArchive(package, Plugin("rapidbox", "2.0", "", 0));
  ::setenv("VEXODL_VEXOHOST_UPDATE_MIRROR", ("file://" + server_.path()).c_str(), 1);
  EXPECT_EQ(2404, ErrorOf([&] { handler_.Update("rapidbox", "vexo"); }).code);
  const Json::Value host = HostJson("rapidbox");
  EXPECT_EQ("1.0", host["version"].asString());
  EXPECT_EQ("2.0", host["newversion"].asString());
}

TEST_F(NativeOperationsTest, VerifyReturnsTheVerifiersAnswer) {
  Ship("filedrop");
  EXPECT_EQ(2, handler_.Verify("filedrop", "vexo", "demo", "premium"));
  EXPECT_EQ(0, handler_.Verify("filedrop", "vexo", "demo", "nope"));
  EXPECT_THAT(fake::SyslogLines(), IsEmpty());
}

TEST_F(NativeOperationsTest, AVerifierThatCannotDecideIsReportedAs1604) {
  WriteFile(Path("user/checked/manifest.json"),
            R"({"format": 1, "name": "checked", "description": "", "version": "1",
                "authentication": "yes", "verifier": "check"})");
  WriteFile(Path("user/checked/check"), "#!/bin/sh\necho '" + std::string(2000, '[') + "'\n");
  ::chmod(Path("user/checked/check").c_str(), 0755);
  const Thrown thrown = ErrorOf([&] { handler_.Verify("checked", "vexo", "alice", "pw"); });
  EXPECT_EQ(1604, thrown.code);
  ASSERT_EQ(1u, fake::SyslogLines().size());
  EXPECT_THAT(fake::SyslogLines()[0].text, EndsWith("Failed to verify account checked"));
}

TEST_F(NativeOperationsTest, ALockedAccountDatabaseFailsSetWith2201AndIsLoggedInTheListing) {
  Ship("filedrop");
  handler_.Set("filedrop", "vexo", ParseJson(R"({"username": "alice", "password": "one"})"));
  ::setenv("VEXODL_VEXOHOST_BUSY_TIMEOUT_MS", "200", 1);
  {
    const LockedDatabase locked(Path("accounts.db"), "EXCLUSIVE");
    const Thrown thrown = ErrorOf([&] {
      handler_.Set("filedrop", "vexo", ParseJson(R"({"username": "bob", "password": "two"})"));
    });
    EXPECT_EQ(2201, thrown.code);
    EXPECT_THAT(thrown.message, ::testing::HasSubstr("still busy after 200 ms"));
    EXPECT_THAT(fake::SyslogLines(), IsEmpty());  // the service's errors reach the caller unlogged
    Json::Value hosts;
    handler_.List(hosts);
    EXPECT_TRUE(hosts.isNull());  // the fake pyLoad lists nothing; the native hosts are left out
    ASSERT_EQ(1u, fake::SyslogLines().size());
    EXPECT_THAT(fake::SyslogLines()[0].text, EndsWith("Failed to list hosts of vexo. Error: 2201"));
  }
  ::unsetenv("VEXODL_VEXOHOST_BUSY_TIMEOUT_MS");
  EXPECT_EQ("NULL|alice|one", Row("filedrop"));
}

}  // namespace
}  // namespace vexodl::vexohost::test
