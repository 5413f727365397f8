// AccountVerify: what reaches the plug-in's verifier, what counts as its answer, and what info
// says of every other ending. How programs are run, bounded and reaped is the process runner's
// (tests/pyload/program_runner_test.cpp).
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
#include "process_census.h"
#include "scoped_env.h"
#include "state_dir_fixture.h"
#include "syslog_capture.h"

namespace vexodl::vexohost::test {
namespace {

using fake::LogLine;

class VerifyTest : public StateDirTest {
 protected:
  VerifyTest() { ::chmod(out_.path().c_str(), 0777); }

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
    fake::ClearSyslog();
    return Handler(host).AccountVerify(info_, username, password);
  }

  // The one line by which the service says why `host` could not be verified.
  static std::vector<LogLine> Why(const std::string& host, const std::string& error) {
    return {{LOG_ERR, "vexohost: verify " + host + ": " + error + " (error 1604)"}};
  }

  // Where a verifier may write, whichever user it runs as: outside the state directory.
  std::string Out(const std::string& name) const { return out_ / name; }

  Json::Value info_;
  fake::TempDir out_;
};

constexpr char kNoAnswer[] = R"("the verifier answered no {\"result\": 0, 1 or 2}")";

TEST_F(VerifyTest, EachEndingGivesItsResultAndInfo) {
  const struct {
    std::string script;
    int result;
    std::string info;  // after {"verifier": "check", ...
  } rows[] = {
      {R"(echo '{"result": 0}')", 0, R"("result": 0)"},
      {R"(echo '{"result": 1, "details": {"plan": "free"}}')", 1,
       R"("result": 1, "details": {"plan": "free"})"},
      {R"(echo '{"result": 2}')", 2, R"("result": 2)"},
      {R"(echo '{"result": 2}'; exit 3)", -1, R"("error": "the verifier exited with status 3")"},
      {R"(echo '[2]')", -1, std::string(R"("error": )") + kNoAnswer},
      {"cat", -1, std::string(R"("error": )") + kNoAnswer},  // never repeats the password it echoes
  };
  for (const auto& row : rows) {
    Verifier(row.script);
    EXPECT_EQ(row.result, Verify("alice", "hunter2")) << row.script;
    const Json::Value info = ParseJson(R"({"verifier": "check", )" + row.info + "}");
    EXPECT_EQ(info, info_) << row.script;
    EXPECT_EQ(row.result < 0 ? Why("checked", info["error"].asString()) : std::vector<LogLine>{},
              fake::SyslogLines())
        << row.script;
  }
}

// The verifier gets the password and is believed: one that another user could have written is not
// run.
TEST_F(VerifyTest, AVerifierThatAnotherUserCouldWriteIsNotRun) {
  Verifier("touch " + Out("ran") + "; echo '{\"result\": 2}'");
  const std::string check = Path("user/checked/check");
  const std::string changeable = ") can be written by other users, who could ";
  const struct {
    std::function<int()> make;
    std::string refusal;
  } rows[] = {
      {[&] { return ::chmod(check.c_str(), 0775); }, "file " + check + " (mode 0775" + changeable +
                                                         "change it: take that away (chmod go-w " +
                                                         check + ")"},
      {[&] { return ::geteuid() == 0 ? ::chown(check.c_str(), 4242, 4242) : -1; },
       "file " + check + " belongs to user 4242, neither root nor this service's user 0, who " +
           "could change it: give it to root or to user 0 (chown)"},
  };
  for (const auto& row : rows) {
    if (row.make() != 0) continue;
    EXPECT_EQ("2103 " + row.refusal, Outcome([&] { Verify("alice", "pw"); }));
    EXPECT_FALSE(Exists(Out("ran")));
    ::unlink(check.c_str());
    Verifier("touch " + Out("ran") + "; echo '{\"result\": 2}'");
  }
  EXPECT_EQ(2, Verify("alice", "pw"));  // the same verifier, ours alone, runs
}

// Whatever kills the verifier's reaper (the OOM killer; the verifier itself where nothing stops
// it) is named as the cause. As init of a PID namespace of its own, the reaper cannot be killed by
// the verifier, and its end takes everything the verifier started with it, in a session of its
// own or not.
TEST_F(VerifyTest, AKilledReaperIsNamedAsTheCause) {
  const fake::ScopedEnv env{{"VEXODL_VEXOHOST_VERIFY_TIMEOUT_MS", "5000"}};
  // Each writes its pid as this process numbers it, from /proc: the reaper's namespace would not.
  const std::string own_pid = "read pid rest </proc/self/stat; echo $pid";
  Verifier(own_pid + " >" + Out("verifier") + "; echo $(setsid sh -c '" + own_pid +
           "; exec sleep 30 >/dev/null' &) >" + Out("escaped") +
           "; kill -9 $PPID; exec sleep 30 >/dev/null");
  std::thread killer([&] {
    for (int i = 0; i < 5000 && ReadFile(Out("escaped")).find('\n') == std::string::npos; ++i) {
      ::usleep(1000);
    }
    for (const fake::ChildInfo& reaper : fake::ChildrenOfThisProcess()) ::kill(reaper.pid, SIGKILL);
  });
  int result = 0;
  const std::string outcome = Outcome([&] { result = Verify("alice", "pw"); });
  killer.join();
  EXPECT_EQ("ok", outcome);
  EXPECT_EQ(-1, result);
  EXPECT_EQ("the verifier's reaper was killed by signal 9", info_["error"].asString());
  EXPECT_EQ(Why("checked", info_["error"].asString()), fake::SyslogLines());
  for (const char* name : {"verifier", "escaped"}) {
    const pid_t pid = std::atoi(ReadFile(Out(name)).c_str());
    ASSERT_GT(pid, 0) << name;
    if (fake::PidNamespacesWork()) {
      EXPECT_FALSE(fake::IsAlive(pid)) << name;
    } else {
      ::kill(pid, SIGKILL);  // without one, it outlives its reaper
    }
  }
}

// As root, a verifier runs as the verifier user, from its plug-in's folder, which that user could
// not reach by its path: the state directory is 0700. Never as root instead: a verifier user that
// does not exist is an error of its own, and nothing runs.
TEST_F(VerifyTest, AsRootAVerifierRunsAsTheVerifierUserFromItsFolderOrNotAtAll) {
  if (::geteuid() != 0) GTEST_SKIP() << "verifiers run as the service's own user unless it is root";
  Verifier("echo \"$(id -u) $(pwd)\" >" + Out("who") + "; echo '{\"result\": 1}'");
  EXPECT_EQ(1, Verify("alice", "pw"));
  EXPECT_EQ(std::to_string(::getpwnam("nobody")->pw_uid) + " " +
                std::filesystem::canonical(Path("user/checked")).string() + "\n",
            ReadFile(Out("who")));
  ::unlink(Out("who").c_str());
  const fake::ScopedEnv env{{"VEXODL_VEXOHOST_VERIFIER_USER", "vexodl-no-such-user"}};
  EXPECT_EQ(
      "2320 verifiers run as user \"vexodl-no-such-user\" (VEXODL_VEXOHOST_VERIFIER_USER), "
      "which does not exist: create it as a system user, or name another",
      Outcome([&] { Verify("alice", "pw"); }));
  EXPECT_FALSE(Exists(Out("who")));
}

}  // namespace
}  // namespace vexodl::vexohost::test
