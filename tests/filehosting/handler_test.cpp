// The facade: its own refusals before any back-end is asked, the settings object of Set, and one
// case per operation through to the native service.
#include "handler.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_helpers.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using vexodl::fake::ErrorLine;
using vexodl::fake::LibraryErrorCode;
using vexodl::fake::ParseJson;
using vexodl::fake::Pyload;
using vexodl::fake::RaiseVexoError;
using vexodl::fake::SyslogLines;
using vexodl::fake::Vexohost;

class FacadeTest : public vexodl::fake::BackendTest {
 protected:
  vexodl::filehosting::Handler handler_;
};

TEST_F(FacadeTest, RefusalsComeBeforeAnyBackEndIsAsked) {
  Json::Value array = ParseJson("[1]");
  Json::Value object = ParseJson("{}");
  EXPECT_THROW(handler_.Get(array, "h", "vexo"), Json::LogicError);
  EXPECT_THROW(handler_.List(object), Json::LogicError);
  for (const char* settings : {"[]", "\"x\"", "false"}) {
    EXPECT_THROW(handler_.Set("h", "pyload", ParseJson(settings)), Json::LogicError) << settings;
  }
  const Json::Value no_password =
      ParseJson(R"({"username": "u", "password": "", "enabled": true})");
  EXPECT_EQ(528, LibraryErrorCode([&] { handler_.Verify("h", "pyload", "u", ""); }));
  EXPECT_EQ(528, LibraryErrorCode([&] { handler_.Set("h", "vexo", no_password); }));
  // The type is checked first, before the other arguments.
  for (const std::string type : {"Vexo", "", "pyload "}) {
    const std::vector<std::function<void()>> operations = {
        [&] { handler_.Verify("h", type, "u", ""); },
        [&] { handler_.Set("h", type, no_password); },
        [&] { handler_.Get(array, "h", type); },
        [&] { handler_.RemoveAccount("h", type); },
        [&] { handler_.Update("h", type); },
        [&] { handler_.Delete("h", type); },
        [&] { handler_.Create(type, ""); }};
    for (const auto& operation : operations) EXPECT_EQ(1612, LibraryErrorCode(operation)) << type;
  }
  EXPECT_THAT(Vexohost().Events(), IsEmpty());
  EXPECT_THAT(Pyload().Events(), IsEmpty());
  EXPECT_THAT(SyslogLines(), IsEmpty());
}

TEST_F(FacadeTest, SetStoresTheAccountThenTheEnabledStateAndSkipsWhatIsMissing) {
  const std::vector<std::pair<const char*, std::vector<std::string>>> rows = {
      {"null", {}},
      {R"({"username": "u", "enabled": "true"})", {}},
      {R"({"password": "p", "enabled": 1})", {}},
      {R"({"username": ["u"], "password": "p"})", {}},
      {R"({"username": "u", "password": 1234, "enabled": true})", {R"("h".HostEnabledSet(true))"}},
      {R"({"username": "", "password": ""})", {R"("h".AccountSet("", ""))"}},
      {R"({"enabled": false, "password": "p", "username": "u", "extra": 1})",
       {R"("h".AccountSet("u", "p"))", R"("h".HostEnabledSet(false))"}}};
  for (const auto& [settings, calls] : rows) {
    Vexohost().Reset();
    handler_.Set("h", "vexo", ParseJson(settings));
    EXPECT_THAT(Vexohost().Events(), ElementsAreArray(calls)) << settings;
  }
}

// A back-end's error reaches the caller as it was thrown, and ends the operation.
TEST_F(FacadeTest, SetThatFailsToStoreTheAccountLeavesTheEnabledStateAlone) {
  Vexohost().Throw("AccountSet", RaiseVexoError(2101, "disk full"));
  try {
    handler_.Set("h", "vexo", ParseJson(R"({"username": "u", "password": "p", "enabled": true})"));
    ADD_FAILURE() << "nothing thrown";
  } catch (const vexodl::VexoError& error) {
    EXPECT_EQ(2101, error.code);
    EXPECT_STREQ("disk full", error.what());
  }
  EXPECT_THAT(Vexohost().Events(), ElementsAre(R"("h".AccountSet("u", "p"))"));
}

TEST_F(FacadeTest, NativeOperationsReachTheServiceForTheirHost) {
  handler_.Create("vexo", "/srv/new.tgz");
  handler_.RemoveAccount("n", "vexo");
  handler_.Update("n", "vexo");
  handler_.Delete("n", "vexo");
  EXPECT_THAT(
      Vexohost().Events(),
      ElementsAre(R"("".HostAdd("/srv/new.tgz"))", R"("n".HostRemoveAccount())",
                  R"("n".HostUpdate(")" VEXODL_UPDATE_SERVER_BASE R"(filehostupdate/filehosts/"))",
                  R"("n".HostDelete())"));
}

TEST_F(FacadeTest, NativeInstallWithoutSourceThrowsTheBareCode) {
  try {
    handler_.Create("vexo", "");
    ADD_FAILURE() << "nothing thrown";
  } catch (const vexodl::VexoError&) {
    ADD_FAILURE() << "501 travels as a bare enumeration value, not as a VexoError";
  } catch (_tag_VEXODL_ERROR_CODE code) {
    EXPECT_EQ(501, code);
  }
  EXPECT_THAT(Vexohost().Events(), IsEmpty());
}

TEST_F(FacadeTest, GetWritesTheNativeHostIntoTheOutputWithoutClearingIt) {
  Vexohost().Fill("AccountGet", ParseJson(R"({"version": "1.0", "enable": true, "user": true})"),
                  0);
  Json::Value out = ParseJson(R"({"description": "kept", "name": "old"})");
  handler_.Get(out, "n", "vexo");
  EXPECT_EQ(ParseJson(R"({"name": "n", "displayname": "n", "type": "vexo", "enabled": true,
                          "description": "kept", "version": "1.0", "newversion": "",
                          "removable": true, "auth_needed": true})"),
            out);
  EXPECT_THAT(Vexohost().Events(), ElementsAre(R"("n".AccountGet())"));
}

TEST_F(FacadeTest, NativeVerificationPassesZeroToTwoAndRefusesTheRest) {
  for (int outcome : {0, 1, 2, 3, -1}) {
    vexodl::fake::ClearSyslog();
    Vexohost().Return("AccountVerify", outcome);
    if (outcome >= 0 && outcome <= 2) {
      EXPECT_EQ(outcome, handler_.Verify("my host", "vexo", "u", "p"));
      EXPECT_THAT(SyslogLines(), IsEmpty());
    } else {
      EXPECT_EQ(1604, LibraryErrorCode([&] { handler_.Verify("my host", "vexo", "u", "p"); }));
      EXPECT_THAT(SyslogLines(),
                  ElementsAre(ErrorLine("host/vexo.cpp", "Failed to verify account my host")));
    }
  }
  EXPECT_EQ(R"("my host".AccountVerify("u", "p"))", Vexohost().Events().back());
}

}  // namespace
