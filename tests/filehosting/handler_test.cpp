// The facade: its own refusals before any back-end is asked, then one table of every operation of
// each host type: the back-end calls it makes (for pyLoad, over which channel), and how the
// back-end's answers become the library's results, codes and log lines; and the merged catalogue,
// which leaves a back-end whose listing fails out and logs why.
#include "handler.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/base.h"
#include "test_helpers.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using vexodl::fake::Compact;
using vexodl::fake::ErrorLine;
using vexodl::fake::LibraryErrorCode;
using vexodl::fake::ParseJson;
using vexodl::fake::Pyload;
using vexodl::fake::RaiseVexoError;
using vexodl::fake::Reply;
using vexodl::fake::SyslogLines;
using vexodl::fake::Vexohost;
using vexodl::filehosting::Handler;
// What an operation on host "U" of a type returns as text: "" when it returns nothing.
using Operation = std::function<std::string(Handler&, const std::string&)>;

class FacadeTest : public vexodl::fake::BackendTest {
 protected:
  Handler handler_;
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

Operation SetTo(const char* settings) {
  return [settings](Handler& h, const std::string& type) {
    return h.Set("U", type, ParseJson(settings)), "";
  };
}
const Operation kSaveAccount = SetTo(R"({"username": "me", "password": "pw"})");
const Operation kEnable = SetTo(R"({"enabled": true})");
const Operation kVerify = [](Handler& h, const std::string& type) {
  return std::to_string(h.Verify("U", type, "me", "pw"));
};
const Operation kRemove = [](Handler& h, const std::string& t) {
  return h.RemoveAccount("U", t), "";
};
const Operation kCreate = [](Handler& h, const std::string& t) {
  return h.Create(t, "/x.tgz"), "";
};
const Operation kUpdate = [](Handler& h, const std::string& t) { return h.Update("U", t), ""; };
const Operation kDelete = [](Handler& h, const std::string& t) { return h.Delete("U", t), ""; };
// Get writes into an object that holds a description already.
const Operation kGet = [](Handler& h, const std::string& type) {
  Json::Value out = ParseJson(R"({"description": "kept"})");
  return h.Get(out, "U", type), Compact(out);
};

Reply Returns(int result, Json::Value fill = Json::Value()) {
  return {result, std::move(fill), {}};
}

constexpr char kReady[] = "IsPyLoadDomainSocketReady()";
constexpr char kSocketRemove[] = R"(DomainSocketHandler.RemoveAccount("U"))";

struct Row {
  const char* what;
  const char* type;  // the host type, and so the back-end whose fake is scripted and asked
  bool ready;        // what pyLoad's readiness question answers
  const char* call;  // the call that does `reply`; every other one succeeds
  Reply reply;
  Operation operation;
  // What the operation returns, or what it throws: "<code>" for a VexoError without a message,
  // "<code> <message>" for one with, "<code> bare" for a bare enumeration value.
  std::string outcome;
  const char* log;  // the one log line of host/<type>.cpp, if any
  std::vector<std::string> requests;
};

TEST_F(FacadeTest, EachOperationReachesItsBackEndAndMapsTheAnswer) {
  const char* const get = "DomainSocketHandler.GetAccounts";
  const char* const check = "CommandlineHandler.VerifyAccount";
  const std::string verify = check + std::string(R"(("U", "me", "pw"))");
  const std::string native_verify = R"("U".AccountVerify("me", "pw"))";
  // clang-format off
  const std::vector<Row> rows = {
    {"socket replaces the account", "pyload", true, nullptr, {}, kSaveAccount, "", nullptr,
     {kReady, kSocketRemove, R"(DomainSocketHandler.UpdateAccount("U", "me", "pw"))"}},
    {"refused account ends the set", "pyload", false, "CommandlineHandler.UpdateAccount", {},
     SetTo(R"({"username": "me", "password": "pw", "enabled": true})"), "1601",
     "Failed to set account U", {kReady, R"(CommandlineHandler.UpdateAccount("U", "me", "pw"))"}},
    {"enabled over the socket", "pyload", true, nullptr, {}, kEnable, "", nullptr,
     {kReady, R"(DomainSocketHandler.EnableAccount("U", true))"}},
    {"enabled over the command line", "pyload", false, nullptr, {},
     SetTo(R"({"enabled": false})"), "", nullptr,
     {kReady, R"(CommandlineHandler.EnableAccount("U", false))"}},
    {"refused enabled state", "pyload", true, "DomainSocketHandler.EnableAccount", {}, kEnable,
     "1602", "Failed to set enabled U", {kReady, R"(DomainSocketHandler.EnableAccount("U", true))"}},
    {"refused removal", "pyload", false, "DomainSocketHandler.RemoveAccount", {}, kRemove, "1603",
     "Failed to remove account U", {kSocketRemove}},
    {"premium", "pyload", true, check, Returns(3), kVerify, "2", nullptr, {verify}},
    {"unknown answer", "pyload", true, check, Returns(4), kVerify, "1604", "Failed to verify account U",
     {verify}},
    {"unreadable account list", "pyload", true, get, {}, kGet, "100",
     "Failed to get info of accounts", {"DomainSocketHandler.GetAccounts(false)"}},
    {"the first account whose type is the host's name", "pyload", true, get,
     Returns(1, ParseJson(R"([{"type": "u", "login": "a"}, {"type": "U ", "login": "b"},
       {"pluginname": "U", "login": "c"}, "U", {"type": "U", "login": "me", "use_premium": true},
       {"type": "U", "login": "later"}])")), kGet,
     Compact(ParseJson(R"({"name": "U", "displayname": "U", "type": "pyload", "enabled": true,
       "description": "pyLoad Plugin", "username": "me", "removable": false, "auth_needed": true,
       "valid": false, "trafficleft": ""})")), nullptr, {"DomainSocketHandler.GetAccounts(false)"}},
    {"no install", "pyload", true, nullptr, {}, kCreate, "1611", nullptr, {}},
    {"no update", "pyload", true, nullptr, {}, kUpdate, "1611", nullptr, {}},
    {"no delete", "pyload", true, nullptr, {}, kDelete, "1611", nullptr, {}},
    {"password of another kind", "vexo", true, nullptr, {},
     SetTo(R"({"username": "u", "password": 1234, "enabled": true})"), "", nullptr,
     {R"("U".HostEnabledSet(true))"}},
    {"the account, then the enabled state", "vexo", true, nullptr, {},
     SetTo(R"({"enabled": false, "password": "p", "username": "u", "extra": 1})"), "", nullptr,
     {R"("U".AccountSet("u", "p"))", R"("U".HostEnabledSet(false))"}},
    {"a back-end's error as thrown", "vexo", true, "AccountSet",
     Reply{0, {}, RaiseVexoError(2101, "disk full")},
     SetTo(R"({"username": "u", "password": "p", "enabled": true})"), "2101 disk full", nullptr,
     {R"("U".AccountSet("u", "p"))"}},
    {"native get", "vexo", true, "AccountGet",
     Returns(0, ParseJson(R"({"version": "1.0", "enable": true, "user": true})")), kGet,
     Compact(ParseJson(R"({"name": "U", "displayname": "U", "type": "vexo", "enabled": true,
       "description": "kept", "version": "1.0", "newversion": "", "removable": true,
       "auth_needed": true})")), nullptr, {R"("U".AccountGet())"}},
    {"native premium", "vexo", true, "AccountVerify", Returns(2), kVerify, "2", nullptr,
     {native_verify}},
    {"native answer above 2", "vexo", true, "AccountVerify", Returns(3), kVerify, "1604",
     "Failed to verify account U", {native_verify}},
    {"native remove", "vexo", true, nullptr, {}, kRemove, "", nullptr,
     {R"("U".HostRemoveAccount())"}},
    {"native install", "vexo", true, nullptr, {}, kCreate, "", nullptr,
     {R"("".HostAdd("/x.tgz"))"}},
    {"native install without a source", "vexo", true, nullptr, {},
     [](Handler& h, const std::string& t) { return h.Create(t, ""), ""; }, "501 bare", nullptr,
     {}},
    {"native update", "vexo", true, nullptr, {}, kUpdate, "", nullptr,
     {R"("U".HostUpdate(")" VEXODL_UPDATE_SERVER_BASE R"(filehostupdate/filehosts/"))"}},
    {"native delete", "vexo", true, nullptr, {}, kDelete, "", nullptr, {R"("U".HostDelete())"}}};
  // clang-format on
  for (const Row& row : rows) {
    SetUp();
    const bool native = std::string(row.type) == "vexo";
    Pyload().Return("Ready", row.ready ? 1 : 0);
    if (row.call != nullptr) (native ? Vexohost() : Pyload()).Set(row.call, row.reply);
    std::string outcome;
    try {
      outcome = row.operation(handler_, row.type);
    } catch (const vexodl::VexoError& error) {
      outcome = std::to_string(error.code) + (*error.what() ? " " : "") + error.what();
    } catch (_tag_VEXODL_ERROR_CODE code) {
      outcome = std::to_string(code) + " bare";
    }
    EXPECT_EQ(row.outcome, outcome) << row.what;
    EXPECT_THAT((native ? Vexohost() : Pyload()).Events(), ElementsAreArray(row.requests))
        << row.what;
    EXPECT_THAT((native ? Pyload() : Vexohost()).Events(), IsEmpty()) << row.what;
    if (row.log == nullptr) {
      EXPECT_THAT(SyslogLines(), IsEmpty()) << row.what;
    } else {
      const std::string file = std::string("host/") + row.type + ".cpp";
      EXPECT_THAT(SyslogLines(), ElementsAre(ErrorLine(file, row.log))) << row.what;
    }
  }
}

// "type:name" of every host that one of the two listings gives, in order.
std::vector<std::string> Listed(bool as_json) {
  std::vector<std::string> names;
  if (!as_json) {
    for (const auto& host : Handler().List()) names.push_back(host->type + ":" + host->name);
    return names;
  }
  Json::Value out;
  Handler().List(out);
  for (const Json::Value& host : out) {
    names.push_back(host["type"].asString() + ":" + host["name"].asString());
  }
  return names;
}

using CatalogueTest = FacadeTest;

TEST_F(CatalogueTest, AFailingBackEndIsLoggedAndLeftOut) {
  for (bool as_json : {false, true}) {
    for (int failing = 0; failing < 4; ++failing) {  // bit 0: pyLoad fails, bit 1: native
      SetUp();
      Pyload().Fill("CommandlineHandler.GetAccounts", ParseJson(R"([{"pluginname": "P"}])"),
                    (failing & 1) ? 0 : 1);
      Vexohost().Fill("List", ParseJson(R"([{"name": "V"}])"), 0);
      if (failing & 2) Vexohost().Throw("List", RaiseVexoError(7, "no store"));
      std::vector<std::string> names;
      std::vector<::testing::Matcher<vexodl::fake::LogLine>> lines;
      if (failing & 1) {
        lines.push_back(ErrorLine("host/pyload.cpp", "Failed to get info of accounts"));
        lines.push_back(ErrorLine("handler.cpp", "Failed to list hosts of pyload. Error: 1614"));
      } else {
        names.push_back("pyload:P");
      }
      if (failing & 2) {
        lines.push_back(ErrorLine("handler.cpp", "Failed to list hosts of vexo. Error: 7"));
      } else {
        names.push_back("vexo:V");
      }
      EXPECT_THAT(Listed(as_json), ElementsAreArray(names)) << failing << as_json;
      EXPECT_THAT(SyslogLines(), ElementsAreArray(lines)) << failing << as_json;
    }
  }
}

}  // namespace
