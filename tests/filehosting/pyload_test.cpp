// pyLoad hosts: the record with its pyLoad defaults, its account object, and the account
// operations with their choice of channel.
#include "host/pyload.h"

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_helpers.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using vexodl::fake::ErrorLine;
using vexodl::fake::JsonOf;
using vexodl::fake::LibraryErrorCode;
using vexodl::fake::ParseJson;
using vexodl::fake::Pyload;
using vexodl::fake::SyslogLines;
using PyloadHost = vexodl::filehosting::host::Pyload;

class PyloadRecordTest : public vexodl::fake::BackendTest {};

TEST_F(PyloadRecordTest, FreshRecordCarriesThePyloadDefaults) {
  PyloadHost host("ShareOnline");
  EXPECT_EQ(ParseJson(R"({"name": "ShareOnline", "displayname": "ShareOnline", "type": "pyload",
                          "enabled": false, "description": "pyLoad Plugin", "removable": false,
                          "auth_needed": true})"),
            JsonOf(host));
}

TEST_F(PyloadRecordTest, AccountObjectFillsTheRecord) {
  PyloadHost host("h");
  host.fromJson(ParseJson(R"({"login": "me", "valid": true, "premium": false, "use_premium": true,
                              "trafficleft": "12 GiB", "version": "0.4", "type": "other",
                              "pluginname": "other", "password": "p"})"));
  EXPECT_EQ(ParseJson(R"({"name": "h", "displayname": "h", "type": "pyload", "enabled": true,
                          "description": "pyLoad Plugin", "version": "0.4", "username": "me",
                          "removable": false, "auth_needed": true, "valid": true,
                          "trafficleft": "12 GiB"})"),
            JsonOf(host));
  EXPECT_EQ("h", host.name);
  EXPECT_EQ("", host.password);
}

TEST_F(PyloadRecordTest, FlagsOfTheAccountMapOntoHostKeys) {
  PyloadHost host("h");
  host.fromJson(ParseJson(R"({"login": "me", "premium": true, "can_be_disabled": false,
                              "is_tested": false})"));
  EXPECT_EQ(ParseJson(R"({"name": "h", "displayname": "h", "type": "pyload", "enabled": false,
                          "description": "pyLoad Plugin", "username": "me", "premium": true,
                          "removable": false, "can_be_disabled": false, "auth_needed": true,
                          "experimental": true, "valid": false, "trafficleft": ""})"),
            JsonOf(host));
}

TEST_F(PyloadRecordTest, BooleansOfAnotherKindAreIgnored) {
  PyloadHost host("h");
  host.fromJson(
      ParseJson(R"({"login": "me", "valid": "true", "use_premium": 1, "premium": null})"));
  EXPECT_FALSE(host.valid);
  EXPECT_FALSE(host.use_premium);
  EXPECT_FALSE(host.premium);
}

TEST_F(PyloadRecordTest, NoAccountMeansNoValidOrTrafficKeys) {
  PyloadHost host("h");
  host.fromJson(ParseJson(R"({"login": "", "valid": true, "trafficleft": "5"})"));
  const Json::Value out = JsonOf(host);
  EXPECT_FALSE(out.isMember("username"));
  EXPECT_FALSE(out.isMember("valid"));
  EXPECT_FALSE(out.isMember("trafficleft"));
}

TEST_F(PyloadRecordTest, EnabledIsWhatPyloadUses) {
  PyloadHost host("h");
  host.enabled = true;
  EXPECT_EQ(Json::Value(false), JsonOf(host)["enabled"]);
  EXPECT_FALSE(host.enabled);
}

TEST_F(PyloadRecordTest, EmptyAccountObjectChangesNothing) {
  PyloadHost host("h");
  host.fromJson(ParseJson(R"({"login": "me", "valid": true, "use_premium": true,
                              "trafficleft": "1"})"));
  const Json::Value before = JsonOf(host);
  host.fromJson(Json::Value(Json::objectValue));
  EXPECT_EQ(before, JsonOf(host));
}

class PyloadAccountTest : public vexodl::fake::BackendTest {
 protected:
  PyloadHost host_{"Uploaded"};

  void SocketReady(bool ready) { Pyload().Return("Ready", ready ? 1 : 0); }
};

TEST_F(PyloadAccountTest, SaveOverTheSocketRemovesTheOldAccountFirst) {
  SocketReady(true);
  host_.username = "me";
  host_.password = "pw";
  host_.SaveAccount();
  EXPECT_THAT(Pyload().Events(),
              ElementsAre("IsPyLoadDomainSocketReady()", "DomainSocketHandler()",
                          "DomainSocketHandler.RemoveAccount(\"Uploaded\")",
                          "~DomainSocketHandler()", "DomainSocketHandler()",
                          "DomainSocketHandler.UpdateAccount(\"Uploaded\", \"me\", \"pw\")",
                          "~DomainSocketHandler()"));
}

TEST_F(PyloadAccountTest, EmptyAccountOverTheSocketOnlyRemoves) {
  SocketReady(true);
  host_.SaveAccount();
  EXPECT_THAT(Pyload().Events(), ElementsAre("IsPyLoadDomainSocketReady()", "DomainSocketHandler()",
                                             "DomainSocketHandler.RemoveAccount(\"Uploaded\")",
                                             "~DomainSocketHandler()"));
}

TEST_F(PyloadAccountTest, PasswordWithoutUserNameOverTheSocketIsSent) {
  SocketReady(true);
  host_.password = "pw";
  host_.SaveAccount();
  EXPECT_EQ("DomainSocketHandler.UpdateAccount(\"Uploaded\", \"\", \"pw\")", Pyload().Events()[5]);
}

TEST_F(PyloadAccountTest, SaveOverTheCommandLineSendsEvenAnEmptyAccount) {
  host_.SaveAccount();
  EXPECT_THAT(Pyload().Events(),
              ElementsAre("IsPyLoadDomainSocketReady()", "CommandlineHandler()",
                          "CommandlineHandler.UpdateAccount(\"Uploaded\", \"\", \"\")",
                          "~CommandlineHandler()"));
}

TEST_F(PyloadAccountTest, FailedRemovalEndsTheSave) {
  SocketReady(true);
  Pyload().Return("DomainSocketHandler.RemoveAccount", 0);
  host_.username = "me";
  host_.password = "pw";
  EXPECT_EQ(VEXODL_ERR_REMOVE_ACCOUNT, LibraryErrorCode([&] { host_.SaveAccount(); }));
  EXPECT_THAT(SyslogLines(),
              ElementsAre(ErrorLine("host/pyload.cpp", "Failed to remove account Uploaded")));
  EXPECT_EQ("~DomainSocketHandler()", Pyload().Events().back());
  EXPECT_EQ(4u, Pyload().Events().size());
}

TEST_F(PyloadAccountTest, RefusedUpdateIsLoggedOnEitherChannel) {
  for (bool ready : {true, false}) {
    Pyload().Reset();
    vexodl::fake::ClearSyslog();
    SocketReady(ready);
    Pyload().Return("DomainSocketHandler.UpdateAccount", 0);
    Pyload().Return("CommandlineHandler.UpdateAccount", 0);
    host_.username = "me";
    host_.password = "pw";
    EXPECT_EQ(VEXODL_ERR_SET_ACCOUNT, LibraryErrorCode([&] { host_.SaveAccount(); }));
    EXPECT_THAT(SyslogLines(),
                ElementsAre(ErrorLine("host/pyload.cpp", "Failed to set account Uploaded")));
    EXPECT_EQ(ready ? "~DomainSocketHandler()" : "~CommandlineHandler()", Pyload().Events().back());
  }
}

TEST_F(PyloadAccountTest, EnabledStateGoesOverTheChannelThatReadinessPicks) {
  SocketReady(true);
  host_.enabled = true;
  host_.SaveEnabled();
  SocketReady(false);
  host_.enabled = false;
  host_.SaveEnabled();
  EXPECT_THAT(
      Pyload().Events(),
      ElementsAre("IsPyLoadDomainSocketReady()", "DomainSocketHandler()",
                  "DomainSocketHandler.EnableAccount(\"Uploaded\", true)", "~DomainSocketHandler()",
                  "IsPyLoadDomainSocketReady()", "CommandlineHandler()",
                  "CommandlineHandler.EnableAccount(\"Uploaded\", false)",
                  "~CommandlineHandler()"));
  EXPECT_THAT(SyslogLines(), IsEmpty());
}

TEST_F(PyloadAccountTest, RefusedEnabledStateIsLogged) {
  Pyload().Return("CommandlineHandler.EnableAccount", 0);
  EXPECT_EQ(VEXODL_ERR_SET_ENABLED, LibraryErrorCode([&] { host_.SaveEnabled(); }));
  EXPECT_THAT(SyslogLines(),
              ElementsAre(ErrorLine("host/pyload.cpp", "Failed to set enabled Uploaded")));
}

TEST_F(PyloadAccountTest, VerifyMapsPyloadAnswersOverTheCommandLine) {
  SocketReady(true);  // never asked: verification always uses the command line
  struct Case {
    int answer;
    int expected;  // -1: refused with 1604
  };
  for (const Case& c : {Case{0, -1}, Case{1, 0}, Case{2, 1}, Case{3, 2}, Case{4, -1}}) {
    Pyload().Reset();
    vexodl::fake::ClearSyslog();
    Pyload().Return("CommandlineHandler.VerifyAccount", c.answer);
    host_.username = "me";
    host_.password = "pw";
    if (c.expected < 0) {
      EXPECT_EQ(VEXODL_ERR_VERIFY_ACCOUNT, LibraryErrorCode([&] { host_.VerifyAccount(); }));
      EXPECT_THAT(SyslogLines(),
                  ElementsAre(ErrorLine("host/pyload.cpp", "Failed to verify account Uploaded")));
    } else {
      EXPECT_EQ(c.expected, host_.VerifyAccount()) << "answer " << c.answer;
      EXPECT_THAT(SyslogLines(), IsEmpty());
    }
    EXPECT_THAT(Pyload().Events(),
                ElementsAre("CommandlineHandler()",
                            "CommandlineHandler.VerifyAccount(\"Uploaded\", \"me\", \"pw\")",
                            "~CommandlineHandler()"));
  }
}

TEST_F(PyloadAccountTest, RemoveAlwaysUsesTheSocketWithoutAskingReadiness) {
  host_.RemoveAccount();
  EXPECT_THAT(Pyload().Events(), ElementsAre("DomainSocketHandler()",
                                             "DomainSocketHandler.RemoveAccount(\"Uploaded\")",
                                             "~DomainSocketHandler()"));
  Pyload().Return("DomainSocketHandler.RemoveAccount", 0);
  EXPECT_EQ(VEXODL_ERR_REMOVE_ACCOUNT, LibraryErrorCode([&] { host_.RemoveAccount(); }));
  EXPECT_THAT(SyslogLines(),
              ElementsAre(ErrorLine("host/pyload.cpp", "Failed to remove account Uploaded")));
}

TEST_F(PyloadAccountTest, PluginManagementIsNotSupported) {
  host_.source = "/tmp/x.tgz";
  EXPECT_EQ(VEXODL_ERR_NOT_SUPPORTED, LibraryErrorCode([&] { host_.Create(); }));
  EXPECT_EQ(VEXODL_ERR_NOT_SUPPORTED, LibraryErrorCode([&] { host_.Update(); }));
  EXPECT_EQ(VEXODL_ERR_NOT_SUPPORTED, LibraryErrorCode([&] { host_.Delete(); }));
  EXPECT_THAT(Pyload().Events(), IsEmpty());
  EXPECT_THAT(SyslogLines(), IsEmpty());
}

TEST_F(PyloadAccountTest, ClientErrorsPassUnchangedAndTheChannelIsReleased) {
  Pyload().Throw("CommandlineHandler.UpdateAccount",
                 vexodl::fake::RaiseVexoError(2100, "pyLoad command failed"));
  host_.username = "me";
  host_.password = "pw";
  try {
    host_.SaveAccount();
    FAIL() << "nothing thrown";
  } catch (const vexodl::VexoError& error) {
    EXPECT_EQ(2100, error.code);
    EXPECT_STREQ("pyLoad command failed", error.what());
  }
  EXPECT_EQ("~CommandlineHandler()", Pyload().Events().back());
  EXPECT_THAT(SyslogLines(), IsEmpty());
}

TEST_F(PyloadAccountTest, ChannelFactoriesMakeOneOwnedChannelEach) {
  auto socket = vexodl::filehosting::host::GetDomainSocketHandler();
  auto command_line = vexodl::filehosting::host::GetCommandlineHandler();
  EXPECT_NE(nullptr, dynamic_cast<vexodl::pyload::rpc::DomainSocketHandler*>(socket.get()));
  EXPECT_NE(nullptr, dynamic_cast<vexodl::pyload::rpc::CommandlineHandler*>(command_line.get()));
  EXPECT_EQ(1, socket.use_count());
  socket.reset();
  command_line.reset();
  EXPECT_THAT(Pyload().Events(), ElementsAre("DomainSocketHandler()", "CommandlineHandler()",
                                             "~DomainSocketHandler()", "~CommandlineHandler()"));
}

}  // namespace
