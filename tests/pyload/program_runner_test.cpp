// The process runner behind the command-line channel, against small shell programs: what reaches
// the program, what counts as an answer, and that every ending is bounded and reaped.
#include "program_runner.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "process_census.h"
#include "temp_dir.h"

namespace vexodl::common {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

class ProgramRunnerTest : public ::testing::Test {
 protected:
  // An executable shell program in the test's directory.
  std::string Script(const std::string& body) {
    const std::string path = dir_ / ("program" + std::to_string(++scripts_));
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), 0700);
    return path;
  }

  fake::TempDir dir_;
  int scripts_ = 0;
};

// Shell text that starts `sleep 30` in a session of its own, outside the program's process group,
// and writes its pid to `pid_file` as this process knows it: in a PID namespace of the reaper's, $!
// would number it otherwise, while /proc is ours.
std::string Escape(const std::string& pid_file) {
  return "echo $(setsid sh -c 'read pid rest </proc/self/stat; echo $pid; exec sleep 30 "
         ">/dev/null' &) >" +
         pid_file + "; ";
}

// The escaped process whose pid `pid_file` holds, killed now: whether it was still alive.
bool KillEscaped(const std::string& pid_file) {
  pid_t escaped = 0;
  std::ifstream(pid_file) >> escaped;
  std::remove(pid_file.c_str());
  EXPECT_GT(escaped, 0) << pid_file;
  return escaped > 0 && kill(escaped, SIGKILL) == 0;
}

// A program, its input, deadline and output cap, the answer it gives (none: failure), and why not.
struct RunRow {
  std::string body;
  std::string input;
  int timeout_ms;
  std::size_t cap;
  std::optional<std::string> answer;
  std::string why = "";
};

// The caller ignores and blocks SIGTERM, leaves a descriptor open without close-on-exec and allows
// core files (as far as it may); the program gets none of these.
TEST_F(ProgramRunnerTest, OnlyAnExitWithStatusZeroWithinTheLimitsIsAnAnswer) {
  struct sigaction ignore {};
  struct sigaction saved_term {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGTERM, &ignore, &saved_term);
  sigset_t term, old;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, &old);
  const int inherited = open("/dev/null", O_RDONLY);
  rlimit core{};
  getrlimit(RLIMIT_CORE, &core);
  const rlimit saved_core = core;
  core.rlim_cur = core.rlim_max;
  setrlimit(RLIMIT_CORE, &core);
  const std::string big(2 << 20, 'i');  // larger than a pipe: both ways at once, or a deadlock
  const RunRow rows[] = {
      {"exec cat", big, 5000, 4 << 20, big},
      {"echo done", big, 5000, 64, "done\n"},  // stops reading: no SIGPIPE here
      // The request, password and all, is in neither the arguments nor the environment.
      {"echo noise >&2; echo \"$# $(env | grep -c hunter2)\"", "{\"password\":\"hunter2\"}", 5000,
       64, "0 0\n"},
      {"[ -e /proc/$$/fd/" + std::to_string(inherited) + " ] && echo open || echo closed", "", 5000,
       64, "closed\n"},
      {"ulimit -c; ulimit -Hc", "", 5000, 64, "0\n0\n"},  // a crash leaves no core with the input
      {"printf %064d 0", "", 5000, 64, std::string(64, '0')},
      {"exec yes", "", 5000, 64 << 10, std::nullopt, "wrote more than 65536 bytes"},
      {"echo '{\"result\": true}'; exit 3", "", 5000, 64, std::nullopt, "exited with status 3"},
      {"kill -TERM $$; echo survived", "", 5000, 64, std::nullopt, "died by signal 15"},
      {"echo '{\"result\": true}'; exec >&-; exec sleep 30", "", 300, 64, std::nullopt,
       "did not answer within 300 ms and was killed"},
  };
  for (const RunRow& row : rows) {
    const auto start = Clock::now();
    const milliseconds timeout(row.timeout_ms);
    ProgramRun run = RunProgramFully(Script(row.body), row.input, timeout, row.cap);
    const std::string why = WhyNoAnswer(run, "it", timeout, row.cap);
    EXPECT_EQ(row.answer, why.empty() ? std::optional(std::move(run.output)) : std::nullopt)
        << row.body;
    EXPECT_EQ(row.why.empty() ? "" : "it " + row.why, why) << row.body;
    EXPECT_LT(Clock::now() - start, milliseconds(2000)) << row.body;
  }
  close(inherited);
  setrlimit(RLIMIT_CORE, &saved_core);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  sigaction(SIGTERM, &saved_term, nullptr);
}

// Both ways: the reaper as init of a PID namespace of its own, and as a child subreaper.
TEST_F(ProgramRunnerTest, DescendantsThatLeaveItsProcessGroupAreGoneWhenTheCallReturns) {
  const std::string pid_file = dir_ / "escaped.pid";
  bool tried = false;
  for (const bool pid_namespace : {true, false}) {
    if (!(pid_namespace ? fake::PidNamespacesWork() : fake::SubreapersWork())) continue;
    tried = true;
    SetPidNamespaceForTesting(pid_namespace);
    EXPECT_EQ("ok\n", RunProgram(Script(Escape(pid_file) + "echo ok"), "", milliseconds(300), 64));
    EXPECT_FALSE(KillEscaped(pid_file)) << pid_namespace;
  }
  SetPidNamespaceForTesting(true);
  if (!tried) GTEST_SKIP() << "neither a PID namespace (root) nor a child subreaper here";
}

// A program cannot kill the init of its PID namespace (the kernel drops the signal), and what it
// started goes with the run. Without a namespace it can: what it started runs on, and the run ends
// as kReaperKilled rather than "killed by signal 0".
TEST_F(ProgramRunnerTest, AProgramThatKillsItsReaperGetsAwayOnlyWithoutANamespace) {
  const std::string pid_file = dir_ / "escaped.pid";
  const std::string body = Escape(pid_file) + "kill -9 $PPID; echo ok";
  if (fake::PidNamespacesWork()) {
    const ProgramRun run = RunProgramFully(Script(body), "", milliseconds(300), 64);
    EXPECT_EQ(ProgramRun::End::kExited, run.end);
    EXPECT_EQ("ok\n", run.output);
    EXPECT_FALSE(KillEscaped(pid_file));
  }
  SetPidNamespaceForTesting(false);
  const ProgramRun run = RunProgramFully(Script(body), "", milliseconds(300), 64);
  SetPidNamespaceForTesting(true);
  EXPECT_EQ(ProgramRun::End::kReaperKilled, run.end);
  EXPECT_EQ(SIGKILL, run.signal);
  KillEscaped(pid_file);
}

// From a folder of its own; as root, also as another user who could not reach the program's path
// (the test's folder is 0700): with that user's primary group alone, and no_new_privs.
TEST_F(ProgramRunnerTest, AProgramStartsInItsFolderAsTheUserItIsGiven) {
  const std::string folder = dir_ / "folder";
  mkdir(folder.c_str(), 0755);
  const std::string program = folder + "/program";
  std::ofstream(program) << "#!/bin/sh\necho \"$(pwd) $(id -u) $(id -G) $(grep NoNewPrivs "
                            "/proc/self/status)\"\n";
  chmod(program.c_str(), 0755);
  const auto run = [&](const ProgramStart& start) {
    return RunProgramFully(program, "", milliseconds(5000), 256, start);
  };
  EXPECT_EQ(folder + " ", run({folder, std::nullopt}).output.substr(0, folder.size() + 1));
  if (geteuid() != 0) GTEST_SKIP() << "only root runs programs as another user";
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nullptr, nobody);
  const RunAs as{nobody->pw_uid, nobody->pw_gid};
  const std::string ids = std::to_string(as.uid) + " " + std::to_string(as.gid);
  std::vector<gid_t> groups(static_cast<std::size_t>(getgroups(0, nullptr)));
  getgroups(static_cast<int>(groups.size()), groups.data());
  const gid_t caller_group = 4242;  // the caller's supplementary group, not the program's
  setgroups(1, &caller_group);
  EXPECT_EQ(folder + " " + ids + " NoNewPrivs:\t1\n", run({folder, as}).output);
  setgroups(groups.size(), groups.data());
}

}  // namespace
}  // namespace vexodl::common
