// The facade: host selection, its own argument checks, the settings object of Set, and how each
// single-host operation reaches the back-end that owns the host.
#include "handler.h"

#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/pyload.h"
#include "host/vexo.h"
#include "test_helpers.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using vexodl::fake::LibraryErrorCode;
using vexodl::fake::ParseJson;
using vexodl::fake::Pyload;
using vexodl::fake::SyslogLines;
using vexodl::fake::Vexohost;
using vexodl::filehosting::Handler;
using vexodl::filehosting::host::Base;
using vexodl::filehosting::host::Vexo;
using PyloadHost = vexodl::filehosting::host::Pyload;

class HostSelectionTest : public vexodl::fake::BackendTest {
 protected:
  Handler handler_;
};

TEST_F(HostSelectionTest, TypeKeyPicksTheKind) {
  std::unique_ptr<Base> native(handler_.GetCorrespondingHost("n", "vexo"));
  std::unique_ptr<Base> pyload(handler_.GetCorrespondingHost("", "pyload"));
  ASSERT_NE(nullptr, dynamic_cast<Vexo*>(native.get()));
  ASSERT_NE(nullptr, dynamic_cast<PyloadHost*>(pyload.get()));
  EXPECT_EQ("n", native->name);
  EXPECT_EQ("", pyload->name);
  EXPECT_THAT(Vexohost().Events(), IsEmpty());
  EXPECT_THAT(Pyload().Events(), IsEmpty());
}

TEST_F(HostSelectionTest, AnyOtherTypeIs1612BeforeAnythingElse) {
  const Json::Value settings = ParseJson(R"({"username": "u", "password": "", "enabled": true})");
  for (const std::string& type :
       std::vector<std::string>{"Vexo", "PYLOAD", "", "vexo ", std::string("vexo\0", 5), "py"}) {
    EXPECT_EQ(VEXODL_ERR_HOST_TYPE,
              LibraryErrorCode([&] { handler_.GetCorrespondingHost("h", type); }));
    EXPECT_EQ(VEXODL_ERR_HOST_TYPE, LibraryErrorCode([&] { handler_.Verify("h", type, "u", ""); }));
    EXPECT_EQ(VEXODL_ERR_HOST_TYPE, LibraryErrorCode([&] { handler_.Set("h", type, settings); }));
    EXPECT_EQ(VEXODL_ERR_HOST_TYPE,
              LibraryErrorCode([&] { handler_.Set("h", type, Json::Value("not an object")); }));
    EXPECT_EQ(VEXODL_ERR_HOST_TYPE, LibraryErrorCode([&] { handler_.RemoveAccount("h", type); }));
    EXPECT_EQ(VEXODL_ERR_HOST_TYPE, LibraryErrorCode([&] { handler_.Update("h", type); }));
    EXPECT_EQ(VEXODL_ERR_HOST_TYPE, LibraryErrorCode([&] { handler_.Delete("h", type); }));
    EXPECT_EQ(VEXODL_ERR_HOST_TYPE, LibraryErrorCode([&] { handler_.Create(type, ""); }));
    Json::Value out = ParseJson("[]");
    EXPECT_EQ(VEXODL_ERR_HOST_TYPE, LibraryErrorCode([&] { handler_.Get(out, "h", type); }));
  }
  EXPECT_THAT(Vexohost().Events(), IsEmpty());
  EXPECT_THAT(Pyload().Events(), IsEmpty());
  EXPECT_THAT(SyslogLines(), IsEmpty());
}

class VerifyTest : public vexodl::fake::BackendTest {
 protected:
  Handler handler_;
};

TEST_F(VerifyTest, UserNameWithoutPasswordIs528AndContactsNothing) {
  EXPECT_EQ(VEXODL_ERR_PASSWORD_REQUIRED,
            LibraryErrorCode([&] { handler_.Verify("h", "vexo", "user", ""); }));
  EXPECT_EQ(VEXODL_ERR_PASSWORD_REQUIRED,
            LibraryErrorCode([&] { handler_.Verify("h", "pyload", "user", ""); }));
  EXPECT_THAT(Vexohost().Events(), IsEmpty());
  EXPECT_THAT(Pyload().Events(), IsEmpty());
}

TEST_F(VerifyTest, ReturnsTheHostsOutcome) {
  Vexohost().Return("AccountVerify", 2);
  EXPECT_EQ(2, handler_.Verify("h", "vexo", "", ""));  // empty user name: no check
  EXPECT_EQ("AccountVerify(null, \"\", \"\")", Vexohost().Events()[1]);

  Pyload().Return("CommandlineHandler.VerifyAccount", 2);
  EXPECT_EQ(1, handler_.Verify("P", "pyload", "me", "pw"));
  EXPECT_EQ("CommandlineHandler.VerifyAccount(\"P\", \"me\", \"pw\")", Pyload().Events()[1]);
}

TEST_F(VerifyTest, RefusedOutcomeIs1604) {
  Vexohost().Return("AccountVerify", 9);
  EXPECT_EQ(VEXODL_ERR_VERIFY_ACCOUNT,
            LibraryErrorCode([&] { handler_.Verify("h", "vexo", "u", "p"); }));
  EXPECT_EQ(1u, SyslogLines().size());  // the host's line; the facade logs nothing
}

class SetTest : public vexodl::fake::BackendTest {
 protected:
  void Set(const std::string& type, const std::string& settings) {
    handler_.Set("h", type, ParseJson(settings));
  }
  Handler handler_;
};

TEST_F(SetTest, NothingToSaveCallsNoHostOperation) {
  for (const char* settings : {"{}", "null", R"({"username": "u"})", R"({"password": "p"})",
                               R"({"enabled": "true"})", R"({"enabled": 1, "other": true})"}) {
    Set("vexo", settings);
  }
  EXPECT_THAT(Vexohost().Events(), IsEmpty());
}

TEST_F(SetTest, AccountThenEnabledState) {
  Set("vexo", R"({"enabled": false, "password": "p", "username": "u", "extra": 1})");
  EXPECT_THAT(Vexohost().Events(),
              ElementsAre("Handler(\"h\")", "AccountSet(\"u\", \"p\")", "~Handler(\"h\")",
                          "Handler(\"h\")", "HostEnabledSet(false)", "~Handler(\"h\")"));
}

TEST_F(SetTest, EmptyUserNameAndPasswordStillSaveTheAccount) {
  Set("vexo", R"({"username": "", "password": ""})");
  EXPECT_THAT(Vexohost().Events(),
              ElementsAre("Handler(\"h\")", "AccountSet(\"\", \"\")", "~Handler(\"h\")"));
}

TEST_F(SetTest, UserNameWithoutPasswordIs528AndSavesNothing) {
  EXPECT_EQ(VEXODL_ERR_PASSWORD_REQUIRED, LibraryErrorCode([&] {
              Set("vexo", R"({"username": "u", "password": "", "enabled": true})");
            }));
  EXPECT_THAT(Vexohost().Events(), IsEmpty());
}

TEST_F(SetTest, AccountOfTheWrongKindIsSkippedButEnabledStillApplies) {
  Set("vexo", R"({"username": "u", "password": 1234, "enabled": true})");
  Set("vexo", R"({"username": ["u"], "password": "p"})");
  EXPECT_THAT(Vexohost().Events(),
              ElementsAre("Handler(\"h\")", "HostEnabledSet(true)", "~Handler(\"h\")"));
}

TEST_F(SetTest, FailedAccountSaveKeepsTheEnabledStateUnsaved) {
  Pyload().Return("CommandlineHandler.UpdateAccount", 0);
  EXPECT_EQ(VEXODL_ERR_SET_ACCOUNT, LibraryErrorCode([&] {
              Set("pyload", R"({"username": "u", "password": "p", "enabled": true})");
            }));
  EXPECT_THAT(Pyload().Events(),
              ::testing::Not(::testing::Contains(::testing::HasSubstr("EnableAccount"))));
}

TEST_F(SetTest, SettingsOfAnotherKindAreRefusedBeforeAnyBackEnd) {
  for (const char* settings : {"[]", R"([{"enabled": true}])", "\"x\"", "false"}) {
    EXPECT_THROW(Set("vexo", settings), Json::LogicError) << settings;
  }
  EXPECT_THAT(Vexohost().Events(), IsEmpty());
}

TEST_F(SetTest, PyloadAccountAndEnabledStateOverAReadySocket) {
  Pyload().Return("Ready", 1);
  Set("pyload", R"({"username": "u", "password": "p", "enabled": true})");
  EXPECT_THAT(
      Pyload().Events(),
      ElementsAre("IsPyLoadDomainSocketReady()", "DomainSocketHandler()",
                  "DomainSocketHandler.RemoveAccount(\"h\")", "~DomainSocketHandler()",
                  "DomainSocketHandler()", "DomainSocketHandler.UpdateAccount(\"h\", \"u\", \"p\")",
                  "~DomainSocketHandler()", "IsPyLoadDomainSocketReady()", "DomainSocketHandler()",
                  "DomainSocketHandler.EnableAccount(\"h\", true)", "~DomainSocketHandler()"));
}

class SingleHostTest : public vexodl::fake::BackendTest {
 protected:
  Handler handler_;
};

TEST_F(SingleHostTest, CreateInstallsANativeHostFromItsSource) {
  handler_.Create("vexo", "/srv/new.tgz");
  EXPECT_THAT(Vexohost().Events(),
              ElementsAre("Handler(\"\")", "HostAdd(\"/srv/new.tgz\")", "~Handler(\"\")"));
  EXPECT_EQ(VEXODL_ERR_NOT_SUPPORTED,
            LibraryErrorCode([&] { handler_.Create("pyload", "/srv/x"); }));
  EXPECT_EQ(VEXODL_ERR_NOT_SUPPORTED, LibraryErrorCode([&] { handler_.Create("pyload", ""); }));
}

TEST_F(SingleHostTest, CreateWithoutSourceThrowsTheBareCodeAcrossTheLibrary) {
  bool caught_bare = false;
  try {
    try {
      handler_.Create("vexo", "");
    } catch (const vexodl::VexoError&) {
      ADD_FAILURE() << "a handler for VexoError must not see the bare code";
    }
  } catch (_tag_VEXODL_ERROR_CODE code) {
    caught_bare = true;
    EXPECT_EQ(501, code);
  }
  EXPECT_TRUE(caught_bare);
  EXPECT_THAT(Vexohost().Events(), IsEmpty());
}

TEST_F(SingleHostTest, RemoveUpdateDeleteRouteToTheOwner) {
  handler_.RemoveAccount("n", "vexo");
  handler_.Update("n", "vexo");
  handler_.Delete("n", "vexo");
  EXPECT_THAT(Vexohost().Events(),
              ElementsAre("Handler(\"n\")", "HostRemoveAccount()", "~Handler(\"n\")",
                          "Handler(\"n\")", ::testing::StartsWith("HostUpdate(\"http"),
                          "~Handler(\"n\")", "Handler(\"n\")", "HostDelete()", "~Handler(\"n\")"));

  handler_.RemoveAccount("p", "pyload");
  EXPECT_EQ(VEXODL_ERR_NOT_SUPPORTED, LibraryErrorCode([&] { handler_.Update("p", "pyload"); }));
  EXPECT_EQ(VEXODL_ERR_NOT_SUPPORTED, LibraryErrorCode([&] { handler_.Delete("p", "pyload"); }));
  EXPECT_THAT(Pyload().Events(),
              ElementsAre("DomainSocketHandler()", "DomainSocketHandler.RemoveAccount(\"p\")",
                          "~DomainSocketHandler()"));
}

TEST_F(SingleHostTest, BackEndErrorsPassThroughUnchanged) {
  Vexohost().Throw("HostRemoveAccount", vexodl::fake::RaiseVexoError(2011, "no such plug-in"));
  try {
    handler_.RemoveAccount("n", "vexo");
    FAIL() << "nothing thrown";
  } catch (const vexodl::VexoError& error) {
    EXPECT_EQ(2011, error.code);
    EXPECT_STREQ("no such plug-in", error.what());
  }
  EXPECT_EQ("~Handler(\"n\")", Vexohost().Events().back());
}

TEST_F(SingleHostTest, GetWritesTheHostIntoTheOutputWithoutClearingIt) {
  Vexohost().Fill("AccountGet", ParseJson(R"({"version": "1.0", "newversion": "1.1",
                                               "enable": true, "user": true})"),
                  0);
  Json::Value out = ParseJson(R"({"description": "kept", "name": "old"})");
  handler_.Get(out, "n", "vexo");
  EXPECT_EQ(ParseJson(R"({"name": "n", "displayname": "n", "type": "vexo", "enabled": true,
                          "description": "kept", "version": "1.0", "newversion": "1.1",
                          "removable": true, "auth_needed": true})"),
            out);
}

TEST_F(SingleHostTest, GetOfAPyloadHostReadsItsAccountOverTheSocket) {
  Pyload().Fill("DomainSocketHandler.GetAccounts",
                ParseJson(R"([{"type": "P", "login": "me", "valid": false, "use_premium": true,
                               "premium": true, "trafficleft": "0"}])"),
                1);
  Json::Value out;
  handler_.Get(out, "P", "pyload");
  EXPECT_EQ(ParseJson(R"({"name": "P", "displayname": "P", "type": "pyload", "enabled": true,
                          "description": "pyLoad Plugin", "username": "me", "premium": true,
                          "removable": false, "auth_needed": true, "valid": false,
                          "trafficleft": "0"})"),
            out);
  EXPECT_THAT(Pyload().Events(),
              ElementsAre("DomainSocketHandler()", "DomainSocketHandler.GetAccounts(null, false)",
                          "~DomainSocketHandler()"));
}

TEST_F(SingleHostTest, GetIntoAnOutputOfAnotherKindIsRefusedBeforeTheBackEnd) {
  Json::Value out = ParseJson("[1]");
  EXPECT_THROW(handler_.Get(out, "n", "vexo"), Json::LogicError);
  EXPECT_EQ(ParseJson("[1]"), out);
  EXPECT_THAT(Vexohost().Events(), IsEmpty());
}

}  // namespace
