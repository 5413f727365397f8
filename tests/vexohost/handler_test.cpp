// Native hosts end to end: vexodl::filehosting::Handler over our own libvexodlvexohost.so.1 and
// real files, with the fake pyLoad client (whose listing is empty). Each operation once; what the
// library does with the back-end's answers is tested against the fakes.
#include <syslog.h>

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_pyload.h"
#include "handler.h"
#include "state_dir_fixture.h"
#include "syslog_capture.h"

namespace vexodl::vexohost::test {
namespace {

class NativeHostsTest : public StateDirTest {
 protected:
  NativeHostsTest() {
    fake::Pyload().Reset();
    fake::ClearSyslog();
  }
  filehosting::Handler handler_;
};

TEST_F(NativeHostsTest, EveryOperationReachesOurOwnService) {
  Ship("youtube");
  Ship("filedrop");
  const fake::TempDir package;
  WriteFile(package / "manifest.json", ManifestText("rapidbox", "1.0", "no"));

  handler_.Create("vexo", package.path());
  Json::Value hosts;
  handler_.List(hosts);
  EXPECT_EQ(ParseJson(R"([
    {"name": "filedrop", "type": "vexo", "displayname": "filedrop", "enabled": true,
     "description": "FileDrop one-click hosting; premium accounts lift the speed limit",
     "version": "2.3.1", "removable": false, "auth_needed": true},
    {"name": "rapidbox", "type": "vexo", "displayname": "rapidbox", "enabled": true,
     "description": "about rapidbox", "version": "1.0", "removable": true, "auth_needed": false}
  ])"),
            hosts);
  handler_.Set("filedrop", "vexo",
               ParseJson(R"({"username": "alice", "password": "s3cret", "enabled": false})"));
  EXPECT_EQ(2, handler_.Verify("filedrop", "vexo", "demo", "premium"));
  handler_.RemoveAccount("filedrop", "vexo");
  handler_.Delete("rapidbox", "vexo");
  EXPECT_EQ("0|NULL|NULL", Row("filedrop"));
  EXPECT_FALSE(Exists(Path("user/rapidbox")));
  // Only what the two changes did, which the command-line tool prints.
  EXPECT_THAT(fake::SyslogLines(),
              ::testing::ElementsAre(
                  fake::LogLine{LOG_INFO, "vexohost: install: installed rapidbox 1.0"},
                  fake::LogLine{LOG_INFO, "vexohost: delete rapidbox: deleted rapidbox"}));
}

}  // namespace
}  // namespace vexodl::vexohost::test
