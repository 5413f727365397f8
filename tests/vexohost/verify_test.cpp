// AccountVerify: the plug-in's verifier program as a child process. What reaches it (standard
// input only), what counts as an answer, and that every bad ending (hang, crash, garbage) is
// bounded, reaped and reported as -1 with the reason in info.
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
#include "process_census.h"
#include "state_dir_fixture.h"

namespace vexodl::vexohost::test {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

class VerifyTest : public StateDirTest {
 protected:
  void SetUp() override { descriptors_ = fake::OpenDescriptorCount(); }
  void TearDown() override {
    ::unsetenv("VEXODL_VEXOHOST_VERIFY_TIMEOUT_MS");
    EXPECT_EQ(descriptors_, fake::OpenDescriptorCount());
    EXPECT_THAT(fake::ChildrenOfThisProcess(), IsEmpty());
  }

  // User plug-in "checked" whose verifier "check" is a shell script with `body`.
  void Verifier(const std::string& body) {
    WriteFile(Path("user/checked/manifest.json"),
              R"({"format": 1, "name": "checked", "description": "", "version": "1",
                  "authentication": "yes", "verifier": "check"})");
    WriteFile(Path("user/checked/check"), "#!/bin/sh\n" + body + "\n");
    ::chmod(Path("user/checked/check").c_str(), 0755);
  }

  int Verify(const std::string& username, const std::string& password,
             const std::string& host = "checked") {
    const auto start = std::chrono::steady_clock::now();
    const int result = Handler(host).AccountVerify(info_, username, password);
    elapsed_ = std::chrono::steady_clock::now() - start;
    return result;
  }

  Json::Value info_;
  std::chrono::steady_clock::duration elapsed_{};
  int descriptors_ = 0;
};

TEST_F(VerifyTest, EachAnswerIsReturnedWithTheVerifiersDetails) {
  for (const int answer : {0, 1, 2}) {
    Verifier("cat >/dev/null\necho '{\"result\": " + std::to_string(answer) +
             ", \"details\": {\"plan\": \"p" + std::to_string(answer) + "\"}}'");
    EXPECT_EQ(answer, Verify("alice", "pw"));
    EXPECT_EQ(ParseJson(R"({"verifier": "check", "result": )" + std::to_string(answer) +
                        R"(, "details": {"plan": "p)" + std::to_string(answer) + R"("}})"),
              info_);
  }
}

TEST_F(VerifyTest, TheCredentialsArriveOnStandardInputAndNowhereElse) {
  const std::string seen = Path("seen");
  Verifier("cat > " + seen + ".stdin\necho \"$0\" \"$@\" > " + seen + ".argv\nenv > " + seen +
           ".env\necho '{\"result\": 1}'");
  EXPECT_EQ(1, Verify("alice", "s3cret \"pw\"\n"));
  EXPECT_EQ("{\"password\":\"s3cret \\\"pw\\\"\\n\",\"username\":\"alice\"}\n",
            ReadFile(seen + ".stdin"));
  EXPECT_EQ(Path("user/checked/check") + "\n", ReadFile(seen + ".argv"));
  EXPECT_THAT(ReadFile(seen + ".env"), Not(HasSubstr("s3cret")));
  EXPECT_EQ(ParseJson(R"({"verifier": "check", "result": 1})"), info_);
}

TEST_F(VerifyTest, AVerifierThatHangsIsKilledAtTheDeadline) {
  ::setenv("VEXODL_VEXOHOST_VERIFY_TIMEOUT_MS", "300", 1);
  // The helper it starts dies with it: the whole process group is killed.
  Verifier("sleep 30 &\nsleep 30\necho '{\"result\": 2}'");
  EXPECT_EQ(-1, Verify("alice", "pw"));
  EXPECT_EQ(ParseJson(R"({"verifier": "check",
                          "error": "the verifier did not answer within 300 ms and was killed"})"),
            info_);
  EXPECT_LT(elapsed_, std::chrono::seconds(5));
}

TEST_F(VerifyTest, AVerifierThatLeavesItsProcessGroupLeavesNothingRunning) {
  if (!fake::SubreapersWork()) GTEST_SKIP() << "no child subreapers on this system";
  const std::string escaped = Path("escaped.pid");
  Verifier("(setsid sleep 30 >/dev/null & echo $! >" + escaped + ")\necho '{\"result\": 1}'");
  EXPECT_EQ(1, Verify("alice", "pw"));
  const pid_t helper = std::atoi(ReadFile(escaped).c_str());
  ASSERT_GT(helper, 0);
  EXPECT_FALSE(fake::IsAlive(helper));
}

TEST_F(VerifyTest, AVerifierThatCrashesCannotDecide) {
  Verifier("cat >/dev/null\nkill -SEGV $$");
  EXPECT_EQ(-1, Verify("alice", "pw"));
  EXPECT_EQ("the verifier died by signal 11", info_["error"].asString());
}

TEST_F(VerifyTest, AVerifierThatFailsCannotDecideEvenWithAnAnswer) {
  Verifier("echo '{\"result\": 2}'\nexit 3");
  EXPECT_EQ(-1, Verify("alice", "pw"));
  EXPECT_EQ("the verifier exited with status 3", info_["error"].asString());
}

TEST_F(VerifyTest, GarbageAndResultsOutsideTheScaleCannotDecide) {
  for (const std::string& output :
       std::vector<std::string>{"hello", "{\"result\": 3}", "{\"result\": \"2\"}", "[2]",
                                "{\"result\": 1} trailing", std::string(2000, '[')}) {
    Verifier("cat >/dev/null\nprintf '%s' '" + output + "'");
    EXPECT_EQ(-1, Verify("alice", "pw")) << output;
    EXPECT_EQ("the verifier answered no {\"result\": 0, 1 or 2}", info_["error"].asString())
        << output;
  }
}

TEST_F(VerifyTest, WhatAVerifierEchoesNeverReachesInfo) {
  Verifier("cat");
  EXPECT_EQ(-1, Verify("alice", "hunter2"));
  EXPECT_THAT(Text(info_), Not(HasSubstr("hunter2")));
}

TEST_F(VerifyTest, AVerifierThatCannotStartCannotDecide) {
  Verifier("echo '{\"result\": 1}'");
  ::chmod(Path("user/checked/check").c_str(), 0644);
  EXPECT_EQ(-1, Verify("alice", "pw"));
  // Under qemu-arm the C library cannot hand a failed exec back through posix_spawn (the emulator
  // runs its vfork-style child as a copy), so there the child exits with status 127 instead.
  EXPECT_THAT(info_["error"].asString(), ::testing::AnyOf("the verifier could not be started",
                                                          "the verifier exited with status 127"));
}

TEST_F(VerifyTest, APluginWithoutVerifierCannotDecide) {
  Ship("openmirror");
  EXPECT_EQ(-1, Verify("alice", "pw", "openmirror"));
  EXPECT_EQ(ParseJson(R"({"error": "host plug-in \"openmirror\" has no verifier"})"), info_);
  EXPECT_EQ(2002, ErrorOf([&] { Verify("a", "b", "nosuchhost"); }).code);
  EXPECT_EQ(2001, ErrorOf([&] { Verify("a", "b", "../openmirror"); }).code);
}

TEST_F(VerifyTest, TheSampleVerifiersAnswerTheirDemoAccounts) {
  Ship("filedrop");
  Ship("cloudvault");
  EXPECT_EQ(2, Verify("demo", "premium", "filedrop"));
  EXPECT_EQ(ParseJson(R"({"verifier": "verify", "result": 2, "details": {"plan": "premium"}})"),
            info_);
  EXPECT_EQ(1, Verify("demo", "free", "filedrop"));
  EXPECT_EQ(0, Verify("demo", "wrong", "filedrop"));
  EXPECT_EQ(1, Verify("anyone", "pw", "cloudvault"));
  EXPECT_EQ(0, Verify("anyone", "", "cloudvault"));
}

TEST_F(VerifyTest, AMalformedDeadlineSettingIsAnError) {
  Verifier("echo '{\"result\": 1}'");
  ::setenv("VEXODL_VEXOHOST_VERIFY_TIMEOUT_MS", "soon", 1);
  const Thrown thrown = ErrorOf([&] { Verify("alice", "pw"); });
  EXPECT_EQ(2310, thrown.code);
  EXPECT_THAT(thrown.message, HasSubstr("VEXODL_VEXOHOST_VERIFY_TIMEOUT_MS"));
}

}  // namespace
}  // namespace vexodl::vexohost::test
