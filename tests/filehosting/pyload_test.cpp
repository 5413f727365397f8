// pyLoad hosts through the facade: which channel each operation takes, and how pyLoad's answers
// become the library's results, codes and log lines.
#include "host/pyload.h"

#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "handler.h"
#include "test_helpers.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using vexodl::fake::ErrorLine;
using vexodl::fake::ParseJson;
using vexodl::fake::Pyload;
using vexodl::fake::SyslogLines;
using vexodl::filehosting::Handler;
using Operation = std::function<int(Handler&)>;

// Each operation returns what the facade returns, 0 when it returns nothing.
Operation SetTo(const char* settings) {
  return [settings](Handler& h) { return h.Set("U", "pyload", ParseJson(settings)), 0; };
}
const Operation kSaveAccount = SetTo(R"({"username": "me", "password": "pw"})");
const Operation kClearAccount = SetTo(R"({"username": "", "password": ""})");
const Operation kEnable = SetTo(R"({"enabled": true})");
const Operation kVerify = [](Handler& h) { return h.Verify("U", "pyload", "me", "pw"); };
const Operation kRemove = [](Handler& h) { return h.RemoveAccount("U", "pyload"), 0; };
const Operation kGet = [](Handler& h) {
  Json::Value out;
  return h.Get(out, "U", "pyload"), 0;
};

constexpr char kReady[] = "IsPyLoadDomainSocketReady()";
constexpr char kSocketRemove[] = R"(DomainSocketHandler.RemoveAccount("U"))";

struct Row {
  const char* what;
  bool ready;        // what the readiness question answers
  const char* call;  // the request that answers `reply`; every other one succeeds
  int reply;
  Operation operation;
  int outcome;      // what the operation returns, or the code of the error it throws
  const char* log;  // the one log line of host/pyload.cpp, if any
  std::vector<std::string> requests;
};

class PyloadTest : public vexodl::fake::BackendTest {
 protected:
  Handler handler_;
};

TEST_F(PyloadTest, EachOperationTakesItsChannelAndMapsTheAnswer) {
  const Operation create = [](Handler& h) { return h.Create("pyload", "/x.tgz"), 0; };
  const Operation update = [](Handler& h) { return h.Update("U", "pyload"), 0; };
  const Operation remove = [](Handler& h) { return h.Delete("U", "pyload"), 0; };
  const char* const get = "DomainSocketHandler.GetAccounts";
  const char* const check = "CommandlineHandler.VerifyAccount";
  const std::string verify = check + std::string(R"(("U", "me", "pw"))");
  // clang-format off
  const std::vector<Row> rows = {
    {"socket replaces the account", true, nullptr, 0, kSaveAccount, 0, nullptr,
     {kReady, kSocketRemove, R"(DomainSocketHandler.UpdateAccount("U", "me", "pw"))"}},
    {"socket clears the account", true, nullptr, 0, kClearAccount, 0, nullptr,
     {kReady, kSocketRemove}},
    {"a password alone is an account", true, nullptr, 0,
     SetTo(R"({"username": "", "password": "p"})"), 0, nullptr,
     {kReady, kSocketRemove, R"(DomainSocketHandler.UpdateAccount("U", "", "p"))"}},
    {"command line sends even an empty account", false, nullptr, 0, kClearAccount, 0, nullptr,
     {kReady, R"(CommandlineHandler.UpdateAccount("U", "", ""))"}},
    {"refused removal ends the save", true, "DomainSocketHandler.RemoveAccount", 0, kSaveAccount,
     1603, "Failed to remove account U", {kReady, kSocketRemove}},
    {"refused account", false, "CommandlineHandler.UpdateAccount", 0, kSaveAccount, 1601,
     "Failed to set account U", {kReady, R"(CommandlineHandler.UpdateAccount("U", "me", "pw"))"}},
    {"enabled over the socket", true, nullptr, 0, kEnable, 0, nullptr,
     {kReady, R"(DomainSocketHandler.EnableAccount("U", true))"}},
    {"enabled over the command line", false, nullptr, 0, SetTo(R"({"enabled": false})"), 0,
     nullptr, {kReady, R"(CommandlineHandler.EnableAccount("U", false))"}},
    {"refused enabled state", true, "DomainSocketHandler.EnableAccount", 0, kEnable, 1602,
     "Failed to set enabled U", {kReady, R"(DomainSocketHandler.EnableAccount("U", true))"}},
    {"removal always over the socket", false, nullptr, 0, kRemove, 0, nullptr, {kSocketRemove}},
    {"refused removal", false, "DomainSocketHandler.RemoveAccount", 0, kRemove, 1603,
     "Failed to remove account U", {kSocketRemove}},
    {"rejected", true, check, 1, kVerify, 0, nullptr, {verify}},
    {"valid", true, check, 2, kVerify, 1, nullptr, {verify}},
    {"premium", true, check, 3, kVerify, 2, nullptr, {verify}},
    {"no answer", true, check, 0, kVerify, 1604, "Failed to verify account U",
     {verify}},
    {"unknown answer", true, check, 4, kVerify, 1604,
     "Failed to verify account U", {verify}},
    {"unreadable account list", true, get, 0, kGet, 100, "Failed to get info of accounts",
     {"DomainSocketHandler.GetAccounts(false)"}},
    {"no account of the host", true, nullptr, 0, kGet, 100, nullptr,
     {"DomainSocketHandler.GetAccounts(false)"}},
    {"no install", true, nullptr, 0, create, 1611, nullptr, {}},
    {"no update", true, nullptr, 0, update, 1611, nullptr, {}},
    {"no delete", true, nullptr, 0, remove, 1611, nullptr, {}}};
  // clang-format on
  for (const Row& row : rows) {
    Pyload().Reset();
    vexodl::fake::ClearSyslog();
    Pyload().Return("Ready", row.ready ? 1 : 0);
    if (row.call != nullptr) Pyload().Return(row.call, row.reply);
    int outcome = -1;
    try {
      outcome = row.operation(handler_);
    } catch (const vexodl::VexoError& error) {
      EXPECT_STREQ("", error.what()) << row.what;
      outcome = error.code;
    }
    EXPECT_EQ(row.outcome, outcome) << row.what;
    EXPECT_THAT(Pyload().Events(), ElementsAreArray(row.requests)) << row.what;
    if (row.log == nullptr) {
      EXPECT_THAT(SyslogLines(), IsEmpty()) << row.what;
    } else {
      EXPECT_THAT(SyslogLines(), ElementsAre(ErrorLine("host/pyload.cpp", row.log))) << row.what;
    }
  }
}

TEST_F(PyloadTest, GetReadsTheFirstAccountWhoseTypeIsTheHostsName) {
  Pyload().Fill("DomainSocketHandler.GetAccounts", ParseJson(R"([
      {"type": "u", "login": "a"}, {"type": "U ", "login": "b"}, {"pluginname": "U", "login": "c"},
      "U", {"type": "U", "login": "me", "use_premium": true}, {"type": "U", "login": "later"}])"),
                1);
  Json::Value out;
  handler_.Get(out, "U", "pyload");
  EXPECT_EQ(ParseJson(R"({"name": "U", "displayname": "U", "type": "pyload", "enabled": true,
                          "description": "pyLoad Plugin", "username": "me", "removable": false,
                          "auth_needed": true, "valid": false, "trafficleft": ""})"),
            out);
}

}  // namespace
