// Both channels of the client against the peer: pyLoad's account semantics through each method,
// exact results, every fault the peer can show, and no descriptor or child left behind.
#include <chrono>
#include <memory>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/pyload.h"
#include "pyload_test_support.h"

namespace vexodl::pyload {
namespace {

using std::chrono::milliseconds;
using ::testing::IsEmpty;
using testing::ParseJson;
using Clock = std::chrono::steady_clock;

enum class Channel { kSocket, kCommandline };

std::string ChannelName(const ::testing::TestParamInfo<Channel>& info) {
  return info.param == Channel::kSocket ? "Socket" : "Commandline";
}

// What get_accounts lists for the standard store, in plug-in order.
constexpr char kUploadedWithoutAccount[] =
    R"({"pluginname": "Uploaded", "type": "Uploaded", "login": "", "valid": false,
        "premium": false, "trafficleft": "", "use_premium": false, "version": "0.7",
        "can_be_disabled": true, "is_tested": true})";
constexpr char kZippyshareOld[] =
    R"({"pluginname": "Zippyshare", "type": "Zippyshare", "login": "old", "valid": false,
        "premium": false, "trafficleft": "", "use_premium": false, "version": "0.2",
        "can_be_disabled": false, "is_tested": false})";

class ChannelTest : public ::testing::TestWithParam<Channel> {
 protected:
  void SetUp() override {
    descriptors_ = testing::OpenDescriptorCount();
    // The command line works on the store by itself: its tests run with no server at all.
    if (GetParam() == Channel::kSocket) peer_.StartServer();
  }

  void TearDown() override {
    if (GetParam() == Channel::kSocket) {
      for (const auto& child : testing::ChildrenOfThisProcess()) {
        EXPECT_EQ(peer_.server() ? peer_.server()->pid() : -1, child.pid) << child.state;
      }
    } else {
      EXPECT_THAT(testing::ChildrenOfThisProcess(), IsEmpty());
    }
    peer_.StopServer();
    EXPECT_EQ(descriptors_, testing::OpenDescriptorCount());
  }

  std::unique_ptr<rpc::Base> MakeChannel() {
    if (GetParam() == Channel::kSocket) return std::make_unique<rpc::DomainSocketHandler>();
    return std::make_unique<rpc::CommandlineHandler>();
  }

  Json::Value Accounts(bool refresh = false) {
    Json::Value out;
    MethodGetAccounts method;
    method.refresh = refresh;
    EXPECT_TRUE(MakeChannel()->GetAccounts(out, method));
    return out;
  }

  // Runs `operation`; records how long it took in elapsed_.
  template <typename Operation>
  auto Timed(Operation&& operation) {
    const auto start = Clock::now();
    auto result = operation();
    elapsed_ = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    return result;
  }

  testing::PeerEnvironment peer_;
  int descriptors_ = 0;
  milliseconds elapsed_{0};
};

INSTANTIATE_TEST_SUITE_P(BothChannels, ChannelTest,
                         ::testing::Values(Channel::kSocket, Channel::kCommandline), ChannelName);

// -- pyLoad's account semantics ----------------------------------------------------------------

TEST_P(ChannelTest, GetAccountsListsEveryPluginInOrderWithoutPasswords) {
  EXPECT_EQ(ParseJson(std::string("[") + kUploadedWithoutAccount + "," + kZippyshareOld + "]"),
            Accounts());
}

TEST_P(ChannelTest, UpdateAccountStoresTheAccountAsTheHostJudgesIt) {
  EXPECT_TRUE(MakeChannel()->UpdateAccount({"Uploaded", "me", "secret"}));
  EXPECT_EQ(ParseJson(R"({"pluginname": "Uploaded", "type": "Uploaded", "login": "me",
                          "valid": true, "premium": true, "trafficleft": "1048576",
                          "use_premium": true, "version": "0.7", "can_be_disabled": true,
                          "is_tested": true})"),
            Accounts()[0]);
  EXPECT_EQ(ParseJson(R"({"login": "me", "password": "secret", "valid": true, "premium": true,
                          "trafficleft": "1048576", "use_premium": true})"),
            peer_.ReadStore()["accounts"]["Uploaded"]);
}

TEST_P(ChannelTest, UpdateAccountReplacesTheAccountAndKeepsWhetherItIsUsed) {
  EXPECT_TRUE(MakeChannel()->UpdateAccount({"Zippyshare", "new", "wrong"}));
  EXPECT_EQ(ParseJson(R"({"login": "new", "password": "wrong", "valid": false, "premium": false,
                          "trafficleft": "", "use_premium": false})"),
            peer_.ReadStore()["accounts"]["Zippyshare"]);
}

TEST_P(ChannelTest, UpdateAccountWithAnEmptyLoginClearsTheAccount) {
  EXPECT_TRUE(MakeChannel()->UpdateAccount({"Zippyshare", "", ""}));
  EXPECT_EQ(ParseJson("{}"), peer_.ReadStore()["accounts"]);
}

TEST_P(ChannelTest, UpdateAccountOfAnUnknownPluginFailsAndChangesNothing) {
  EXPECT_FALSE(MakeChannel()->UpdateAccount({"NoSuchHost", "me", "secret"}));
  EXPECT_EQ(ParseJson(testing::kStandardStore), peer_.ReadStore());
}

TEST_P(ChannelTest, EnableAccountSetsWhetherPyloadUsesTheAccount) {
  EXPECT_TRUE(MakeChannel()->EnableAccount({"Zippyshare", true}));
  EXPECT_EQ(Json::Value(true), Accounts()[1]["use_premium"]);
  EXPECT_TRUE(MakeChannel()->EnableAccount({"Zippyshare", false}));
  EXPECT_EQ(Json::Value(false), Accounts()[1]["use_premium"]);
}

TEST_P(ChannelTest, EnableAccountWithoutAnAccountFails) {
  EXPECT_FALSE(MakeChannel()->EnableAccount({"Uploaded", true}));
  EXPECT_FALSE(MakeChannel()->EnableAccount({"NoSuchHost", true}));
}

TEST_P(ChannelTest, VerifyAccountAnswersRejectedValidOrPremium) {
  auto channel = MakeChannel();
  EXPECT_EQ(3, channel->VerifyAccount({"Uploaded", "me", "secret"}));
  EXPECT_EQ(2, channel->VerifyAccount({"Uploaded", "free", "pw"}));
  EXPECT_EQ(1, channel->VerifyAccount({"Uploaded", "me", "Secret"}));
  EXPECT_EQ(1, channel->VerifyAccount({"Zippyshare", "old", "oldpw"}));
  EXPECT_EQ(0, channel->VerifyAccount({"NoSuchHost", "me", "secret"}));
  // Verifying other credentials leaves the stored account alone.
  EXPECT_EQ(ParseJson(testing::kStandardStore)["accounts"], peer_.ReadStore()["accounts"]);
}

TEST_P(ChannelTest, GetAccountsWithRefreshChecksTheStoredAccountsAgain) {
  Json::Value store = ParseJson(testing::kStandardStore);
  store["plugins"]["Zippyshare"]["logins"]["old"] = ParseJson(R"({"password": "oldpw",
      "premium": false, "trafficleft": "5"})");
  peer_.WriteStore(testing::CompactJson(store));
  EXPECT_EQ(Json::Value(false), Accounts(false)[1]["valid"]);
  const Json::Value refreshed = Accounts(true)[1];
  EXPECT_EQ(Json::Value(true), refreshed["valid"]);
  EXPECT_EQ(Json::Value("5"), refreshed["trafficleft"]);
}

TEST_P(ChannelTest, PasswordsTravelUnchanged) {
  const std::string password = "p\xc3\xa4ss \"w\\rd\"\n\t{}";
  Json::Value store = ParseJson(testing::kStandardStore);
  store["plugins"]["Uploaded"]["logins"]["me"]["password"] = password;
  peer_.WriteStore(testing::CompactJson(store));
  EXPECT_EQ(3, MakeChannel()->VerifyAccount({"Uploaded", "me", password}));
  EXPECT_TRUE(MakeChannel()->UpdateAccount({"Uploaded", "me", password}));
  EXPECT_EQ(Json::Value(password), peer_.ReadStore()["accounts"]["Uploaded"]["password"]);
}

TEST_P(ChannelTest, APasswordThatIsNotUtf8FailsWithoutReachingPyload) {
  EXPECT_FALSE(MakeChannel()->UpdateAccount({"Uploaded", "me", "\xff\xfe"}));
  EXPECT_EQ(0, MakeChannel()->VerifyAccount({"Uploaded", "me", "\xff\xfe"}));
  EXPECT_EQ(ParseJson(testing::kStandardStore), peer_.ReadStore());
}

// -- faults: every one is a failure result, bounded in time ---------------------------------

TEST_P(ChannelTest, AnErrorAnswerIsFailure) {
  peer_.SetFault("error");
  Json::Value out;
  EXPECT_FALSE(MakeChannel()->UpdateAccount({"Uploaded", "me", "secret"}));
  EXPECT_FALSE(MakeChannel()->EnableAccount({"Zippyshare", true}));
  EXPECT_EQ(0, MakeChannel()->VerifyAccount({"Uploaded", "me", "secret"}));
  EXPECT_FALSE(MakeChannel()->GetAccounts(out, {}));
  EXPECT_EQ(Json::Value(), out);
  EXPECT_EQ(ParseJson(testing::kStandardStore), peer_.ReadStore());
}

TEST_P(ChannelTest, GarbageIsFailure) {
  peer_.SetFault("garbage");
  Json::Value out;
  EXPECT_FALSE(MakeChannel()->GetAccounts(out, {}));
  EXPECT_EQ(Json::Value(), out);
  EXPECT_EQ(0, MakeChannel()->VerifyAccount({"Uploaded", "me", "secret"}));
}

TEST_P(ChannelTest, AnAnswerCutOffHalfwayIsFailure) {
  peer_.SetFault("partial");
  Json::Value out;
  EXPECT_FALSE(MakeChannel()->GetAccounts(out, {}));
  EXPECT_EQ(Json::Value(), out);
  EXPECT_FALSE(MakeChannel()->UpdateAccount({"Uploaded", "me", "secret"}));
}

TEST_P(ChannelTest, AnAnswerLargerThanTheCapIsFailureEvenWhenItSaysTrue) {
  peer_.env().Set("VEXODL_PYLOAD_MAX_ANSWER_BYTES", std::string("65536"));
  peer_.SetFault("oversize 70000");
  EXPECT_FALSE(MakeChannel()->UpdateAccount({"Uploaded", "me", "secret"}));
  peer_.SetFault("oversize 60000");
  EXPECT_TRUE(MakeChannel()->UpdateAccount({"Uploaded", "me", "secret"}));
}

TEST_P(ChannelTest, WellFormedAnswersOfTheWrongShapeAreFailure) {
  peer_.SetFault("verify_account: answer {\"result\": 4}");
  EXPECT_EQ(0, MakeChannel()->VerifyAccount({"Uploaded", "me", "secret"}));
  peer_.SetFault("verify_account: answer {\"result\": \"3\"}");
  EXPECT_EQ(0, MakeChannel()->VerifyAccount({"Uploaded", "me", "secret"}));
  peer_.SetFault("update_account: answer {\"result\": 1}");
  EXPECT_FALSE(MakeChannel()->UpdateAccount({"Uploaded", "me", "secret"}));
  peer_.SetFault("get_accounts: answer {\"result\": {\"Uploaded\": {\"type\": \"Uploaded\"}}}");
  Json::Value out;
  EXPECT_FALSE(MakeChannel()->GetAccounts(out, {}));
  peer_.SetFault("get_accounts: answer {\"result\": [{\"type\": 7}]}");
  EXPECT_FALSE(MakeChannel()->GetAccounts(out, {}));
  EXPECT_EQ(Json::Value(), out);
  peer_.SetFault("get_accounts: answer {\"result\": []} {\"result\": []}");
  EXPECT_FALSE(MakeChannel()->GetAccounts(out, {}));
  EXPECT_EQ(Json::Value(), out);
}

TEST_P(ChannelTest, AFaultForOneMethodLeavesTheOthersWorking) {
  peer_.SetFault("verify_account: garbage");
  EXPECT_EQ(0, MakeChannel()->VerifyAccount({"Uploaded", "me", "secret"}));
  EXPECT_TRUE(MakeChannel()->UpdateAccount({"Uploaded", "me", "secret"}));
}

TEST_P(ChannelTest, APeerThatHangsIsAbandonedAtTheDeadline) {
  peer_.env().Set("VEXODL_PYLOAD_SOCKET_TIMEOUT_MS", std::string("300"));
  peer_.env().Set("VEXODL_PYLOAD_CLI_TIMEOUT_MS", std::string("1500"));
  peer_.SetFault("hang");
  auto channel = MakeChannel();
  EXPECT_FALSE(Timed([&] { return channel->UpdateAccount({"Uploaded", "me", "secret"}); }));
  EXPECT_LT(elapsed_, milliseconds(3000));
  EXPECT_GE(elapsed_, milliseconds(280));
}

TEST_P(ChannelTest, APeerThatDiesWhileAnsweringIsFailure) {
  peer_.SetFault("kill");
  EXPECT_FALSE(MakeChannel()->UpdateAccount({"Uploaded", "me", "secret"}));
  if (GetParam() == Channel::kSocket) peer_.StopServer();  // reaps the killed server
}

TEST_P(ChannelTest, NoDescriptorOrChildOutlivesRequestsThatSucceedOrFail) {
  const int before = testing::OpenDescriptorCount();
  const std::size_t children_before = testing::ChildrenOfThisProcess().size();
  int successes = 0;
  for (const char* fault : {"", "error", "garbage", "partial", "exit 2", "close"}) {
    peer_.SetFault(fault);
    Json::Value out;
    successes += MakeChannel()->GetAccounts(out, {}) ? 1 : 0;
    successes += MakeChannel()->UpdateAccount({"Uploaded", "me", "secret"}) ? 1 : 0;
    successes += MakeChannel()->VerifyAccount({"Uploaded", "me", "secret"}) == 3 ? 1 : 0;
  }
  EXPECT_EQ(3, successes);  // only the three requests without a fault
  EXPECT_EQ(before, testing::OpenDescriptorCount());
  EXPECT_EQ(children_before, testing::ChildrenOfThisProcess().size());
}

// -- the command-line program's own endings --------------------------------------------------

class CommandlineTest : public ChannelTest {};
INSTANTIATE_TEST_SUITE_P(Commandline, CommandlineTest, ::testing::Values(Channel::kCommandline),
                         ChannelName);

TEST_P(CommandlineTest, ANonZeroExitIsFailureEvenAfterAGoodAnswer) {
  peer_.SetFault("exit 3");
  EXPECT_FALSE(MakeChannel()->UpdateAccount({"Uploaded", "me", "secret"}));
}

TEST_P(CommandlineTest, AProgramThatAnswersAndLingersIsKilledAtTheDeadline) {
  peer_.env().Set("VEXODL_PYLOAD_CLI_TIMEOUT_MS", std::string("1500"));
  peer_.SetFault("linger");
  EXPECT_FALSE(Timed([&] { return MakeChannel()->UpdateAccount({"Uploaded", "me", "secret"}); }));
  EXPECT_LT(elapsed_, milliseconds(3000));
}

TEST_P(CommandlineTest, AMissingProgramIsFailure) {
  peer_.env().Set("VEXODL_PYLOAD_CLI", peer_ / "no-such-program");
  Json::Value out;
  EXPECT_FALSE(MakeChannel()->GetAccounts(out, {}));
  EXPECT_EQ(0, MakeChannel()->VerifyAccount({"Uploaded", "me", "secret"}));
}

TEST_P(CommandlineTest, AnUnreadableStoreIsFailure) {
  peer_.WriteStore("{not json");
  Json::Value out;
  EXPECT_FALSE(MakeChannel()->GetAccounts(out, {}));
}

// -- the socket's own endings and readiness ----------------------------------------------------

class SocketTest : public ChannelTest {};
INSTANTIATE_TEST_SUITE_P(Socket, SocketTest, ::testing::Values(Channel::kSocket), ChannelName);

TEST_P(SocketTest, RemoveAccountRemovesThePluginsAccount) {
  rpc::DomainSocketHandler channel;
  EXPECT_TRUE(channel.RemoveAccount({"Zippyshare"}));
  EXPECT_EQ(ParseJson("{}"), peer_.ReadStore()["accounts"]);
  EXPECT_TRUE(channel.RemoveAccount({"Zippyshare"}));  // nothing left to remove is no failure
  EXPECT_FALSE(channel.RemoveAccount({"NoSuchHost"}));
}

TEST_P(SocketTest, RemoveAccountFailsOnAnyFault) {
  peer_.SetFault("error");
  EXPECT_FALSE(rpc::DomainSocketHandler().RemoveAccount({"Zippyshare"}));
  EXPECT_EQ(ParseJson(testing::kStandardStore), peer_.ReadStore());
  // The other faults spoil the answer of a removal that was carried out.
  for (const char* fault : {"garbage", "partial", "close", "answer {\"result\": false}"}) {
    peer_.SetFault(fault);
    EXPECT_FALSE(rpc::DomainSocketHandler().RemoveAccount({"Zippyshare"})) << fault;
  }
}

TEST_P(SocketTest, AClosedConnectionWithoutAnAnswerIsFailure) {
  peer_.SetFault("close");
  EXPECT_FALSE(MakeChannel()->UpdateAccount({"Uploaded", "me", "secret"}));
}

TEST_P(SocketTest, EveryRequestFailsQuicklyWhenNoServerRuns) {
  peer_.StopServer();
  rpc::DomainSocketHandler channel;
  Json::Value out;
  EXPECT_FALSE(Timed([&] { return channel.GetAccounts(out, {}); }));
  EXPECT_LT(elapsed_, milliseconds(500));
  EXPECT_FALSE(channel.UpdateAccount({"Uploaded", "me", "secret"}));
  EXPECT_FALSE(channel.EnableAccount({"Zippyshare", true}));
  EXPECT_EQ(0, channel.VerifyAccount({"Uploaded", "me", "secret"}));
  EXPECT_FALSE(channel.RemoveAccount({"Zippyshare"}));
}

TEST_P(SocketTest, ReadyOnlyWhileTheServerAnswers) {
  EXPECT_TRUE(Utils::IsPyLoadDomainSocketReady());
  peer_.SetFault("get_server_version: garbage");
  EXPECT_FALSE(Utils::IsPyLoadDomainSocketReady());
  peer_.SetFault("get_server_version: error");
  EXPECT_FALSE(Utils::IsPyLoadDomainSocketReady());
  peer_.SetFault("");
  EXPECT_TRUE(Utils::IsPyLoadDomainSocketReady());
  peer_.StopServer();
  EXPECT_FALSE(Utils::IsPyLoadDomainSocketReady());
}

TEST_P(SocketTest, AServerThatHangsIsNotReadyAfterTheReadinessDeadline) {
  peer_.env().Set("VEXODL_PYLOAD_READY_TIMEOUT_MS", std::string("200"));
  peer_.SetFault("get_server_version: hang");
  EXPECT_FALSE(Timed([] { return Utils::IsPyLoadDomainSocketReady(); }));
  EXPECT_GE(elapsed_, milliseconds(180));
  EXPECT_LT(elapsed_, milliseconds(1500));
}

}  // namespace
}  // namespace vexodl::pyload
