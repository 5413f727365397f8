// pyLoad hosts end to end: vexodl::filehosting::Handler over our pyLoad client and the peer,
// with the native side from the fake service. Which channel an operation took shows in the
// store: over the socket, saving an account removes the old one first, so a new account is used
// by default; over the command line the account is replaced in place and keeps its old setting.
#include <dlfcn.h>
#include <syslog.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "error/vexo_error.h"
#include "fake_vexohost.h"
#include "handler.h"
#include "loaded_from.h"
#include "pyload_test_support.h"
#include "syslog_capture.h"

namespace vexodl::pyload {
namespace {

using filehosting::Handler;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::ParseJson;
using vexodl::fake::FileDefining;

// The code of the VexoError that `operation` throws, or -1.
template <typename Operation>
int ErrorCode(Operation&& operation) {
  try {
    operation();
  } catch (const VexoError& error) {
    return error.code;
  }
  return -1;
}

std::vector<std::string> LogTexts() {
  std::vector<std::string> texts;
  for (const auto& line : fake::SyslogLines()) {
    if (line.priority == LOG_ERR) texts.push_back(line.text);
  }
  return texts;
}

Json::Value Settings(const std::string& text) { return ParseJson(text); }

constexpr char kZippyshareHost[] = R"({"name": "Zippyshare", "type": "pyload",
    "displayname": "Zippyshare", "enabled": false, "description": "pyLoad Plugin",
    "version": "0.2", "username": "old", "removable": false, "can_be_disabled": false,
    "auth_needed": true, "experimental": true, "valid": false, "trafficleft": ""})";
constexpr char kUploadedHost[] = R"({"name": "Uploaded", "type": "pyload",
    "displayname": "Uploaded", "enabled": false, "description": "pyLoad Plugin",
    "version": "0.7", "removable": false, "auth_needed": true})";

class PyloadHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Vexohost().Reset();
    fake::ClearSyslog();
  }
  void TearDown() override {
    for (const auto& child : testing::ChildrenOfThisProcess()) {
      EXPECT_EQ(peer_.server() ? peer_.server()->pid() : -1, child.pid) << child.state;
    }
  }

  Json::Value StoredAccount(const std::string& plugin) {
    return peer_.ReadStore()["accounts"][plugin];
  }

  testing::PeerEnvironment peer_;
  Handler handler_;
};

TEST_F(PyloadHostTest, TheLibraryRunsOnOurPyloadClientAndTheFakeNativeService) {
  EXPECT_THAT(FileDefining("_ZN6vexodl6pyload5Utils25IsPyLoadDomainSocketReadyEv"),
              EndsWith("/pyload/libvexodlpyload.so.1"));
  EXPECT_THAT(FileDefining("_ZN6vexodl8vexohost7Handler4ListERN4Json5ValueE"),
              EndsWith("tests/fakes/libvexodlvexohost.so.1"));
}

TEST_F(PyloadHostTest, SetOverTheSocketRemovesTheOldAccountThenStoresTheNewOne) {
  peer_.StartServer();
  handler_.Set("Zippyshare", "pyload", Settings(R"({"username": "new", "password": "pw2"})"));
  EXPECT_EQ(ParseJson(R"({"login": "new", "password": "pw2", "valid": false, "premium": false,
                          "trafficleft": "", "use_premium": true})"),
            StoredAccount("Zippyshare"));
}

TEST_F(PyloadHostTest, SetOverTheCommandLineWhenTheSocketIsDownReplacesTheAccountInPlace) {
  handler_.Set("Zippyshare", "pyload", Settings(R"({"username": "new", "password": "pw2"})"));
  EXPECT_EQ(ParseJson(R"({"login": "new", "password": "pw2", "valid": false, "premium": false,
                          "trafficleft": "", "use_premium": false})"),
            StoredAccount("Zippyshare"));
}

TEST_F(PyloadHostTest, SetWithEmptyCredentialsOverTheSocketClearsTheAccount) {
  peer_.StartServer();
  handler_.Set("Zippyshare", "pyload", Settings(R"({"username": "", "password": ""})"));
  EXPECT_EQ(ParseJson("{}"), peer_.ReadStore()["accounts"]);
}

TEST_F(PyloadHostTest, SetOfAnUnknownPluginFailsWith1601AndALogLine) {
  EXPECT_EQ(1601, ErrorCode([&] {
              handler_.Set("NoSuchHost", "pyload",
                           Settings(R"({"username": "a", "password": "b"})"));
            }));
  ASSERT_EQ(1u, LogTexts().size());
  EXPECT_THAT(LogTexts()[0], ::testing::MatchesRegex("host/pyload\\.cpp:[0-9]+ Failed to set "
                                                     "account NoSuchHost"));
}

TEST_F(PyloadHostTest, SaveEnabledGoesOverTheSocketWhenReadyAndTheCommandLineOtherwise) {
  handler_.Set("Zippyshare", "pyload", Settings(R"({"enabled": true})"));
  EXPECT_EQ(Json::Value(true), StoredAccount("Zippyshare")["use_premium"]);
  peer_.StartServer();
  handler_.Set("Zippyshare", "pyload", Settings(R"({"enabled": false})"));
  EXPECT_EQ(Json::Value(false), StoredAccount("Zippyshare")["use_premium"]);
  peer_.SetFault("enable_account: error");
  EXPECT_EQ(1602, ErrorCode([&] {
              handler_.Set("Zippyshare", "pyload", Settings(R"({"enabled": true})"));
            }));
}

TEST_F(PyloadHostTest, SetOfAccountAndEnabledStoresBoth) {
  peer_.StartServer();
  handler_.Set("Uploaded", "pyload",
               Settings(R"({"username": "me", "password": "secret", "enabled": false})"));
  EXPECT_EQ(ParseJson(R"({"login": "me", "password": "secret", "valid": true, "premium": true,
                          "trafficleft": "1048576", "use_premium": false})"),
            StoredAccount("Uploaded"));
}

TEST_F(PyloadHostTest, VerifyMapsRejectedValidAndPremiumToZeroOneTwo) {
  EXPECT_EQ(2, handler_.Verify("Uploaded", "pyload", "me", "secret"));
  EXPECT_EQ(1, handler_.Verify("Uploaded", "pyload", "free", "pw"));
  EXPECT_EQ(0, handler_.Verify("Uploaded", "pyload", "me", "wrong"));
  EXPECT_THAT(LogTexts(), IsEmpty());
  EXPECT_EQ(1604, ErrorCode([&] { handler_.Verify("NoSuchHost", "pyload", "me", "secret"); }));
  peer_.SetFault("answer {\"result\": 4}");
  EXPECT_EQ(1604, ErrorCode([&] { handler_.Verify("Uploaded", "pyload", "me", "secret"); }));
}

TEST_F(PyloadHostTest, RemoveAccountGoesOverTheSocket) {
  peer_.StartServer();
  handler_.RemoveAccount("Zippyshare", "pyload");
  EXPECT_EQ(ParseJson("{}"), peer_.ReadStore()["accounts"]);
  peer_.StopServer();
  peer_.WriteStore(testing::kStandardStore);
  EXPECT_EQ(1603, ErrorCode([&] { handler_.RemoveAccount("Zippyshare", "pyload"); }));
  EXPECT_EQ(ParseJson(testing::kStandardStore)["accounts"], peer_.ReadStore()["accounts"]);
}

TEST_F(PyloadHostTest, GetReadsTheHostOverTheSocket) {
  peer_.StartServer();
  Json::Value host;
  handler_.Get(host, "Zippyshare", "pyload");
  EXPECT_EQ(ParseJson(kZippyshareHost), host);

  handler_.Set("Uploaded", "pyload", Settings(R"({"username": "me", "password": "secret"})"));
  Json::Value uploaded;
  handler_.Get(uploaded, "Uploaded", "pyload");
  EXPECT_EQ(ParseJson(R"({"name": "Uploaded", "type": "pyload", "displayname": "Uploaded",
                          "enabled": true, "description": "pyLoad Plugin", "version": "0.7",
                          "username": "me", "premium": true, "removable": false,
                          "auth_needed": true, "valid": true, "trafficleft": "1048576"})"),
            uploaded);
}

TEST_F(PyloadHostTest, GetFailsWith100WhenTheSocketIsDownOrTheHostIsUnknown) {
  Json::Value host;
  EXPECT_EQ(100, ErrorCode([&] { handler_.Get(host, "Zippyshare", "pyload"); }));
  peer_.StartServer();
  EXPECT_EQ(100, ErrorCode([&] { handler_.Get(host, "zippyshare", "pyload"); }));
  EXPECT_EQ(Json::Value(), host);
}

TEST_F(PyloadHostTest, ListReadsPyloadHostsOverTheCommandLineWhileTheServerIsDown) {
  fake::Vexohost().Fill("List", ParseJson(R"([{"name": "Rapidgator", "enabled": true}])"), 0);
  Json::Value hosts;
  handler_.List(hosts);
  ASSERT_EQ(3u, hosts.size()) << testing::CompactJson(hosts);
  EXPECT_EQ(ParseJson(kUploadedHost), hosts[0]);
  EXPECT_EQ(ParseJson(kZippyshareHost), hosts[1]);
  EXPECT_EQ(Json::Value("Rapidgator"), hosts[2]["name"]);
  EXPECT_EQ(Json::Value("vexo"), hosts[2]["type"]);
  EXPECT_THAT(LogTexts(), IsEmpty());
}

TEST_F(PyloadHostTest, ListUsesTheCommandLineEvenWhileTheServerRuns) {
  peer_.StartServer();
  peer_.env().Set("VEXODL_PYLOAD_SOCKET", peer_ / "elsewhere.sock");
  Json::Value hosts;
  handler_.List(hosts);
  ASSERT_EQ(2u, hosts.size()) << testing::CompactJson(hosts);
  EXPECT_EQ(ParseJson(kUploadedHost), hosts[0]);
}

TEST_F(PyloadHostTest, ListStillReturnsNativeHostsWhenTheCommandLineProgramFails) {
  fake::Vexohost().Fill("List", ParseJson(R"([{"name": "Rapidgator", "enabled": true}])"), 0);
  for (const char* fault : {"error", "garbage", "exit 1", "kill"}) {
    fake::ClearSyslog();
    peer_.SetFault(fault);
    Json::Value hosts;
    handler_.List(hosts);
    ASSERT_EQ(1u, hosts.size()) << fault << ": " << testing::CompactJson(hosts);
    EXPECT_EQ(Json::Value("Rapidgator"), hosts[0]["name"]) << fault;
    EXPECT_THAT(
        LogTexts(),
        ElementsAre(
            ::testing::MatchesRegex("host/pyload\\.cpp:[0-9]+ Failed to get info of accounts"),
            ::testing::MatchesRegex(
                "handler\\.cpp:[0-9]+ Failed to list hosts of pyload\\. Error: 1614")))
        << fault;
  }
}

// One way pyLoad fails: the server runs or not, the peer's fault line, and whether the
// command-line program is missing too.
struct PeerFault {
  std::string name;
  bool server;
  std::string fault;
  bool no_program;
};

void PrintTo(const PeerFault& fault, std::ostream* os) { *os << fault.name; }

class PeerFaultTest : public PyloadHostTest, public ::testing::WithParamInterface<PeerFault> {};

// Every account operation ends in its code and its log line within the deadlines, and the store
// keeps what it held; with no fault (the first row) every one succeeds.
TEST_P(PeerFaultTest, EachAccountOperationEndsInItsCodeAndLogLineAndLosesNothing) {
  const PeerFault& fault = GetParam();
  Json::Value store = ParseJson(testing::kStandardStore);
  store["accounts"]["Uploaded"] = ParseJson(R"({"login": "me", "password": "secret",
      "valid": true, "premium": true, "trafficleft": "1048576", "use_premium": true})");
  peer_.WriteStore(testing::CompactJson(store));
  peer_.env().Set("VEXODL_PYLOAD_READY_TIMEOUT_MS", std::string("200"));
  peer_.env().Set("VEXODL_PYLOAD_SOCKET_TIMEOUT_MS", std::string("300"));
  peer_.env().Set("VEXODL_PYLOAD_CLI_TIMEOUT_MS", std::string("1500"));
  if (fault.server) peer_.StartServer();
  if (fault.no_program) peer_.env().Set("VEXODL_PYLOAD_CLI", peer_ / "no-such-program");
  peer_.SetFault(fault.fault);
  struct Operation {
    int code;
    std::string log;
    std::function<void()> run;
  };
  const std::vector<Operation> operations = {
      {1601, "Failed to set account Uploaded",
       [&] {
         handler_.Set("Uploaded", "pyload",
                      Settings(R"({"username": "me", "password": "secret"})"));
       }},
      {1602, "Failed to set enabled Uploaded",
       [&] { handler_.Set("Uploaded", "pyload", Settings(R"({"enabled": false})")); }},
      {1604, "Failed to verify account Uploaded",
       [&] { handler_.Verify("Uploaded", "pyload", "me", "secret"); }},
      {100, "Failed to get info of accounts",
       [&] {
         Json::Value host;
         handler_.Get(host, "Uploaded", "pyload");
       }},
      {1603, "Failed to remove account Uploaded",
       [&] { handler_.RemoveAccount("Uploaded", "pyload"); }},
  };
  const bool healthy = fault.fault.empty() && !fault.no_program;
  for (const Operation& operation : operations) {
    fake::ClearSyslog();
    const auto start = std::chrono::steady_clock::now();
    const int code = ErrorCode(operation.run);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (healthy) {
      EXPECT_EQ(-1, code) << operation.log;
      EXPECT_THAT(LogTexts(), IsEmpty()) << operation.log;
    } else {
      EXPECT_EQ(operation.code, code) << operation.log;
      EXPECT_THAT(LogTexts(), ElementsAre(::testing::MatchesRegex("host/pyload\\.cpp:[0-9]+ " +
                                                                  operation.log)));
    }
    EXPECT_LT(elapsed, std::chrono::seconds(4)) << operation.log;
  }
  // The other plug-in's account is untouched, in a store that still reads.
  EXPECT_EQ(store["accounts"]["Zippyshare"], peer_.ReadStore()["accounts"]["Zippyshare"]);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, PeerFaultTest,
    ::testing::Values(PeerFault{"None", true, "", false},
                      PeerFault{"Down", false, "", true},             // no server, no program
                      PeerFault{"Slow", true, "hang", false},         // never answers
                      PeerFault{"CutOff", true, "partial", false},    // half an answer, then closes
                      PeerFault{"Killed", true, "kill", false},       // dies while answering
                      PeerFault{"Garbage", true, "garbage", false}),  // answers no JSON
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace vexodl::pyload
