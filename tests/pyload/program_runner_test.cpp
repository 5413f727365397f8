// The process runner behind the command-line channel, against small programs written by the
// tests: what reaches the program, what counts as an answer, and that every ending (hang,
// crash, flood, missing program) is bounded, reaped and leaves no descriptor behind.
#include "program_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "pyload_test_support.h"
#include "temp_dir.h"

namespace vexodl::pyload::internal {
namespace {

using std::chrono::milliseconds;
using ::testing::IsEmpty;
using Clock = std::chrono::steady_clock;
using common::RunProgram;

class ProgramRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override { descriptors_ = testing::OpenDescriptorCount(); }
  void TearDown() override {
    EXPECT_EQ(descriptors_, testing::OpenDescriptorCount());
    const auto children = testing::ChildrenOfThisProcess();
    EXPECT_THAT(children, IsEmpty())
        << "first: pid " << children.front().pid << " state " << children.front().state;
  }

  // An executable shell script in the test's directory.
  std::string Script(const std::string& body) {
    const std::string path = dir_ / ("program" + std::to_string(++scripts_));
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), 0700);
    return path;
  }

  std::optional<std::string> Run(const std::string& program, const std::string& input,
                                 milliseconds timeout = milliseconds(5000),
                                 std::size_t cap = 1 << 20) {
    const auto start = Clock::now();
    auto output = RunProgram(program, input, timeout, cap);
    elapsed_ = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    return output;
  }

  fake::TempDir dir_;
  int scripts_ = 0;
  milliseconds elapsed_{0};
  int descriptors_ = 0;
};

TEST_F(ProgramRunnerTest, InputReachesStandardInputAndStandardOutputIsTheAnswer) {
  EXPECT_EQ("{\"method\":\"x\"}\n", Run(Script("exec cat"), "{\"method\":\"x\"}\n").value());
}

TEST_F(ProgramRunnerTest, InputAndOutputLargerThanAPipeFlowBothWaysAtOnce) {
  // cat writes while it still reads: a runner that wrote all input first would deadlock.
  const std::string input(2 * 1024 * 1024, 'i');
  EXPECT_EQ(input, Run(Script("exec cat"), input, milliseconds(5000), 4 << 20).value());
}

TEST_F(ProgramRunnerTest, TheProgramGetsNoArgumentsAndItsStandardErrorIsDiscarded) {
  EXPECT_EQ("0 arguments\n", Run(Script("echo noise >&2; echo \"$# arguments\""), "").value());
}

TEST_F(ProgramRunnerTest, ThePasswordInTheInputIsInNeitherArgumentsNorEnvironment) {
  const std::string args = dir_ / "args";
  const std::string env = dir_ / "env";
  const auto output =
      Run(Script("cat >/dev/null; cat /proc/$$/cmdline >" + args + "; env >" + env + "; echo ok"),
          "{\"password\":\"hunter2-unique\"}\n");
  EXPECT_EQ("ok\n", output.value());
  std::stringstream args_text, env_text;
  args_text << std::ifstream(args).rdbuf();
  env_text << std::ifstream(env).rdbuf();
  EXPECT_FALSE(args_text.str().empty());
  EXPECT_FALSE(env_text.str().empty());
  EXPECT_EQ(std::string::npos, args_text.str().find("hunter2"));
  EXPECT_EQ(std::string::npos, env_text.str().find("hunter2"));
}

TEST_F(ProgramRunnerTest, TheProgramGetsOnlyItsStandardStreamsEvenIfItsCallerLeftMoreOpen) {
  // What a careless caller or library may leave open: a descriptor without close-on-exec.
  const int leaked = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 3);
  const auto listing = Run(Script("exec ls -l /proc/self/fd/"), "");
  close(leaked);
  ASSERT_TRUE(listing.has_value());
  std::istringstream lines(*listing);
  std::map<std::string, std::string> standard;
  std::vector<std::string> others;
  for (std::string line; std::getline(lines, line);) {
    const std::size_t arrow = line.find(" -> ");
    if (arrow == std::string::npos) continue;
    const std::size_t name = line.rfind(' ', arrow - 1) + 1;
    const std::string fd = line.substr(name, arrow - name);
    const std::string target = line.substr(arrow + 4);
    if (fd == "0" || fd == "1" || fd == "2") {
      standard[fd] = target.substr(0, 5);
    } else if (target.rfind("/proc/", 0) != 0) {  // not ls's own
      others.push_back(fd + " -> " + target);
    }
  }
  EXPECT_EQ((std::map<std::string, std::string>{{"0", "pipe:"}, {"1", "pipe:"}, {"2", "/dev/"}}),
            standard)
      << *listing;
  EXPECT_THAT(others, IsEmpty()) << *listing;
}

TEST_F(ProgramRunnerTest, ANonZeroExitIsFailureEvenWithAnAnswer) {
  EXPECT_FALSE(Run(Script("echo '{\"result\": true}'; exit 3"), "").has_value());
}

TEST_F(ProgramRunnerTest, DeathByASignalIsFailureEvenWithAnAnswer) {
  EXPECT_FALSE(Run(Script("echo '{\"result\": true}'; kill -KILL $$"), "").has_value());
}

TEST_F(ProgramRunnerTest, SignalsIgnoredOrBlockedByTheCallerAreDefaultInTheProgram) {
  struct sigaction ignore {};
  struct sigaction saved {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGTERM, &ignore, &saved);
  sigset_t term, old;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, &old);
  // With the caller's disposition the program would survive and answer.
  const auto output = Run(Script("kill -TERM $$; echo survived"), "");
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  sigaction(SIGTERM, &saved, nullptr);
  EXPECT_FALSE(output.has_value()) << *output;
}

TEST_F(ProgramRunnerTest, ACallerThatIgnoresSigchldStillGetsTheAnswer) {
  struct sigaction ignore {};
  struct sigaction saved {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &saved);
  const auto output = Run(Script("echo ok"), "");
  sigaction(SIGCHLD, &saved, nullptr);
  EXPECT_EQ("ok\n", output);
}

TEST_F(ProgramRunnerTest, AProgramThatIgnoresItsInputRaisesNoSigpipeHere) {
  EXPECT_EQ("done\n", Run(Script("echo done"), std::string(4 * 1024 * 1024, 'i')).value());
}

TEST_F(ProgramRunnerTest, AHangingProgramIsKilledAtTheDeadlineAndReaped) {
  EXPECT_FALSE(Run(Script("exec sleep 30"), "", milliseconds(300)).has_value());
  EXPECT_GE(elapsed_, milliseconds(280));
  EXPECT_LT(elapsed_, milliseconds(2000));
}

TEST_F(ProgramRunnerTest, AProgramThatAnswersButDoesNotExitIsKilledAtTheDeadline) {
  EXPECT_FALSE(
      Run(Script("echo '{\"result\": true}'; exec >&-; exec sleep 30"), "", milliseconds(300))
          .has_value());
  EXPECT_LT(elapsed_, milliseconds(2000));
}

TEST_F(ProgramRunnerTest, HelpersThatKeepTheOutputOpenAreKilledWithTheProgram) {
  const std::string pid_file = dir_ / "helper.pid";
  EXPECT_FALSE(
      Run(Script("sleep 30 & echo $! >" + pid_file + "; echo partial"), "", milliseconds(300))
          .has_value());
  EXPECT_LT(elapsed_, milliseconds(2000));
  pid_t helper = 0;
  std::ifstream(pid_file) >> helper;
  ASSERT_GT(helper, 0);
  // Killed with the program's group: gone, or a zombie waiting for its new parent.
  char state = 'X';
  for (int i = 0; i < 200 && state != 'Z' && state != '\0'; ++i) {
    std::ifstream stat("/proc/" + std::to_string(helper) + "/stat");
    std::string text;
    state = std::getline(stat, text) ? text[text.rfind(')') + 2] : '\0';
    if (state != 'Z' && state != '\0') std::this_thread::sleep_for(milliseconds(5));
  }
  EXPECT_TRUE(state == 'Z' || state == '\0') << "helper " << helper << " state " << state;
}

TEST_F(ProgramRunnerTest, DescendantsThatLeaveItsProcessGroupAreGoneWhenTheCallReturns) {
  if (!testing::SubreapersWork()) GTEST_SKIP() << "no child subreapers on this system";
  const std::string pid_file = dir_ / "escaped.pid";
  const struct {
    std::string body;
    std::optional<std::string> answer;
  } rows[] = {
      {"(setsid sleep 30 >/dev/null & echo $! >" + pid_file + "); exec sleep 30", std::nullopt},
      {"(setsid sleep 30 >/dev/null & echo $! >" + pid_file + "); echo ok", "ok\n"},
      // It holds the output open: no answer before the deadline.
      {"(setsid sleep 30 & echo $! >" + pid_file + "); echo ok", std::nullopt},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.answer, Run(Script(row.body), "", milliseconds(300))) << row.body;
    pid_t escaped = 0;
    std::ifstream(pid_file) >> escaped;
    std::remove(pid_file.c_str());
    ASSERT_GT(escaped, 0);
    const bool alive = testing::IsAlive(escaped);
    EXPECT_FALSE(alive) << row.body;
    if (alive) kill(escaped, SIGKILL);
  }
}

TEST_F(ProgramRunnerTest, OutputBeyondTheCapIsFailureWithoutWaitingForTheDeadline) {
  EXPECT_FALSE(Run(Script("exec yes"), "", milliseconds(5000), 64 * 1024).has_value());
  EXPECT_LT(elapsed_, milliseconds(2000));
}

TEST_F(ProgramRunnerTest, AMissingOrNonExecutableProgramIsFailure) {
  EXPECT_FALSE(Run(dir_ / "absent", "").has_value());
  const std::string plain = dir_ / "plain";
  std::ofstream(plain) << "#!/bin/sh\necho hi\n";
  chmod(plain.c_str(), 0600);
  EXPECT_FALSE(Run(plain, "").has_value());
  EXPECT_FALSE(Run(dir_.path(), "").has_value());
}

}  // namespace
}  // namespace vexodl::pyload::internal
