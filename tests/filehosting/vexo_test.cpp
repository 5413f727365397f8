// Native hosts: the record, its service host object, and its operations on the service.
#include "host/vexo.h"

#include <string>

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
using vexodl::fake::SyslogLines;
using vexodl::fake::Vexohost;
using vexodl::filehosting::host::Vexo;

class VexoRecordTest : public vexodl::fake::BackendTest {};

TEST_F(VexoRecordTest, FromJsonReadsEveryMemberOfTheServiceObject) {
  Vexo host("h");
  host.fromJson(ParseJson(R"({"name": "ignored", "username": "u", "description": "d",
                              "version": "1.0", "newversion": "1.1", "enable": true,
                              "user": false, "authentication": "no", "password": "p",
                              "premium": true})"));
  EXPECT_EQ("h", host.name);
  EXPECT_EQ("", host.password);
  EXPECT_EQ(ParseJson(R"({"name": "h", "displayname": "h", "type": "vexo", "enabled": true,
                          "description": "d", "version": "1.0", "newversion": "1.1",
                          "username": "u", "removable": false, "auth_needed": false})"),
            JsonOf(host));
}

TEST_F(VexoRecordTest, FlagsChangeOnlyForMembersOfTheRightKind) {
  Vexo host("h");
  host.fromJson(ParseJson(R"({"enable": "true", "user": 0, "authentication": false})"));
  EXPECT_FALSE(host.enabled);
  EXPECT_TRUE(host.removable);
  EXPECT_TRUE(host.auth_needed);

  host.enabled = true;
  host.fromJson(ParseJson(R"({"enable": false})"));
  EXPECT_FALSE(host.enabled);
}

TEST_F(VexoRecordTest, OnlyTheExactWordNoMeansNoAccountNeeded) {
  for (const char* word : {"No", "", "yes", "no "}) {
    Vexo host("h");
    Json::Value object;
    object["authentication"] = word;
    host.fromJson(object);
    EXPECT_TRUE(host.auth_needed) << '"' << word << '"';
  }
}

TEST_F(VexoRecordTest, StringMembersConvertNullAndRefuseContainers) {
  Vexo host("h");
  host.description = "old";
  host.fromJson(ParseJson(R"({"description": null, "version": 2})"));
  EXPECT_EQ("", host.description);
  EXPECT_EQ("2", host.version);

  // Fields read before the member that JsonCpp cannot convert keep their new values.
  EXPECT_THROW(host.fromJson(ParseJson(R"({"username": "u", "version": [1]})")), Json::LogicError);
  EXPECT_EQ("u", host.username);
}

TEST_F(VexoRecordTest, NewVersionIsWrittenWhenItDiffersFromAKnownVersion) {
  struct Case {
    const char* version;
    const char* newversion;
    const char* expected;  // nullptr: no "newversion" key
  };
  for (const Case& c : {Case{"1.0", "1.1", "1.1"}, Case{"1.0", "1.0", nullptr}, Case{"1.0", "", ""},
                        Case{"", "1.1", nullptr}, Case{"1.0", "1.00", "1.00"}}) {
    Vexo host("h");
    host.version = c.version;
    host.newversion = c.newversion;
    const Json::Value out = JsonOf(host);
    if (c.expected == nullptr) {
      EXPECT_FALSE(out.isMember("newversion")) << c.version << " / " << c.newversion;
    } else {
      EXPECT_EQ(Json::Value(c.expected), out["newversion"]) << c.version << " / " << c.newversion;
    }
  }
}

TEST_F(VexoRecordTest, GetAsksTheServiceNamedAfterTheHost) {
  Vexohost().Fill("AccountGet", ParseJson(R"({"version": "2.0", "enable": true, "user": true})"),
                  0);
  Vexo host("rapid");
  host.Get();
  EXPECT_THAT(Vexohost().Events(),
              ElementsAre("Handler(\"rapid\")", "AccountGet(null)", "~Handler(\"rapid\")"));
  EXPECT_EQ("2.0", host.version);
  EXPECT_TRUE(host.enabled);
}

TEST_F(VexoRecordTest, GetOfAnEmptyServiceObjectLeavesEveryField) {
  Vexohost().Fill("AccountGet", Json::Value(Json::objectValue), 0);
  Vexo host("h");
  host.Get();
  EXPECT_EQ(ParseJson(R"({"name": "h", "displayname": "h", "type": "vexo", "enabled": false,
                          "removable": true, "auth_needed": true})"),
            JsonOf(host));
}

class VexoOperationTest : public vexodl::fake::BackendTest {};

TEST_F(VexoOperationTest, EachOperationMakesOneCallOnItsOwnHandler) {
  Vexo host("h");
  host.username = "user";
  host.password = "pass";
  host.enabled = false;
  host.SaveAccount();
  host.SaveEnabled();
  host.RemoveAccount();
  host.Delete();
  host.Update();
  const std::string url = std::string(VEXODL_UPDATE_SERVER_BASE) + "filehostupdate/filehosts/";
  EXPECT_THAT(Vexohost().Events(),
              ElementsAre("Handler(\"h\")", "AccountSet(\"user\", \"pass\")", "~Handler(\"h\")",
                          "Handler(\"h\")", "HostEnabledSet(false)", "~Handler(\"h\")",
                          "Handler(\"h\")", "HostRemoveAccount()", "~Handler(\"h\")",
                          "Handler(\"h\")", "HostDelete()", "~Handler(\"h\")", "Handler(\"h\")",
                          "HostUpdate(\"" + url + "\")", "~Handler(\"h\")"));
  EXPECT_THAT(SyslogLines(), IsEmpty());
}

TEST_F(VexoOperationTest, UpdateUrlIsTheSameForEveryHost) {
  Vexo("a").Update();
  Vexo("b").Update();
  const auto events = Vexohost().Events();
  ASSERT_EQ(6u, events.size());
  EXPECT_EQ(events[1], events[4]);
  EXPECT_THAT(events[1], ::testing::EndsWith("/filehostupdate/filehosts/\")"));
}

TEST_F(VexoOperationTest, EmptyAccountIsStillStored) {
  Vexo host("h");
  host.SaveAccount();
  EXPECT_THAT(Vexohost().Events(),
              ElementsAre("Handler(\"h\")", "AccountSet(\"\", \"\")", "~Handler(\"h\")"));
}

TEST_F(VexoOperationTest, CreateInstallsThroughAnUnnamedHandler) {
  Vexo host("named");
  host.source = std::string("/srv/p lugin\0.tgz", 17);
  host.Create();
  EXPECT_THAT(Vexohost().Events(),
              ElementsAre("Handler(\"\")", "HostAdd(\"" + host.source + "\")", "~Handler(\"\")"));
}

TEST_F(VexoOperationTest, CreateWithoutSourceThrowsTheBareCodeAndContactsNothing) {
  Vexo host("h");
  try {
    host.Create();
    FAIL() << "nothing thrown";
  } catch (const vexodl::VexoError&) {
    FAIL() << "501 travels as a bare enumeration value, not as a VexoError";
  } catch (_tag_VEXODL_ERROR_CODE code) {
    EXPECT_EQ(VEXODL_ERR_NO_SOURCE, code);
  }
  EXPECT_THAT(Vexohost().Events(), IsEmpty());
}

TEST_F(VexoOperationTest, VerifyPassesTheServiceOutcomeThrough) {
  for (int outcome : {0, 1, 2}) {
    Vexohost().Reset();
    Vexohost().Fill("AccountVerify", ParseJson(R"({"detail": "x"})"), outcome);
    Vexo host("h");
    host.username = "u";
    host.password = "p";
    EXPECT_EQ(outcome, host.VerifyAccount());
    EXPECT_THAT(
        Vexohost().Events(),
        ElementsAre("Handler(\"h\")", "AccountVerify(null, \"u\", \"p\")", "~Handler(\"h\")"));
  }
  EXPECT_THAT(SyslogLines(), IsEmpty());
}

TEST_F(VexoOperationTest, VerifyRefusesOtherOutcomesWithALogLine) {
  for (int outcome : {3, -1}) {
    vexodl::fake::ClearSyslog();
    Vexohost().Reset();
    Vexohost().Return("AccountVerify", outcome);
    Vexo host("my host");
    EXPECT_EQ(VEXODL_ERR_VERIFY_ACCOUNT, LibraryErrorCode([&] { host.VerifyAccount(); }));
    EXPECT_THAT(SyslogLines(),
                ElementsAre(ErrorLine("host/vexo.cpp", "Failed to verify account my host")));
    EXPECT_EQ("~Handler(\"my host\")", Vexohost().Events().back());
  }
}

TEST_F(VexoOperationTest, ServiceErrorsPassUnchangedAndTheHandlerIsDestroyed) {
  Vexohost().Throw("HostDelete", vexodl::fake::RaiseVexoError(2007, "plug-in is shipped"));
  Vexo host("h");
  try {
    host.Delete();
    FAIL() << "nothing thrown";
  } catch (const vexodl::VexoError& error) {
    EXPECT_EQ(2007, error.code);
    EXPECT_STREQ("plug-in is shipped", error.what());
  }
  EXPECT_THAT(Vexohost().Events(),
              ElementsAre("Handler(\"h\")", "HostDelete()", "~Handler(\"h\")"));
  EXPECT_THAT(SyslogLines(), IsEmpty());
}

TEST_F(VexoOperationTest, ServiceThatCannotBeOpenedIsNotCalled) {
  Vexohost().Throw("Handler", vexodl::fake::RaiseVexoError(2001, "state directory missing"));
  Vexo host("h");
  host.enabled = true;
  EXPECT_THROW(host.SaveEnabled(), vexodl::VexoError);
  EXPECT_THAT(Vexohost().Events(), ElementsAre("Handler(\"h\")"));
}

}  // namespace
