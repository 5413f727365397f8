// The store when its disk fails it, full or mounted read-only, and beside another process. Root
// (as CI runs) ignores file modes, so the faults are mounts in a mount namespace of a child process
// of their own, which never reach the rest of the machine.
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
#include "run_program.h"
#include "state_dir_fixture.h"

namespace vexodl::vexohost::test {
namespace {

using ::testing::MatchesRegex;

std::string UserOf(const std::string& host) {
  Json::Value object;
  const std::string outcome = Outcome([&] { Handler(host).AccountGet(object); });
  return outcome == "ok" ? object.get("username", "<none>").asString() : outcome;
}

class StoreFaultTest : public StateDirTest {
 protected:
  StoreFaultTest() {
    Ship("filedrop");
    Handler("filedrop").AccountSet("me", "secret");
  }

  // Runs `scenario` in a child in a mount namespace of its own, after `mount` made the fault, and
  // returns what it wrote, one outcome a line; "" after skipping where no namespace can be had.
  std::string InNamespace(const std::function<bool()>& mount,
                          const std::function<std::string()>& scenario) {
    const std::string report = Path("../.report-" + std::to_string(::getpid()));
    const pid_t child = ::fork();
    if (child == 0) {
      const bool isolated = ::unshare(CLONE_NEWNS) == 0 &&
                            ::mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) == 0;
      std::ofstream(report) << (!isolated ? "" : mount() ? scenario() : "mount failed\n");
      ::_exit(isolated ? 0 : 3);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    const std::string lines = ReadFile(report);
    std::remove(report.c_str());
    if (WIFEXITED(status) && WEXITSTATUS(status) == 3) skip_ = true;
    return lines;
  }
  bool ReadOnly() const {
    return ::mount(state().c_str(), state().c_str(), "none", MS_BIND, nullptr) == 0 &&
           ::mount("none", state().c_str(), "none", MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
  }
  bool skip_ = false;
};

// The disk fills up after the first account was stored: changes fail, what was stored stays.
TEST_F(StoreFaultTest, AFullDiskRefusesChangesAndKeepsWhatWasStored) {
  const std::string lines = InNamespace(
      [this] { return ::mount("tmpfs", state().c_str(), "tmpfs", 0, "size=512k,mode=0700") == 0; },
      [this] {
        Ship("filedrop");
        std::string out = Outcome([] { Handler("filedrop").AccountSet("first", "one"); }) + "\n";
        std::ofstream filler(Path("filler"), std::ios::binary);
        while (filler << std::string(4096, 'x')) {
        }
        filler.close();
        out += Outcome([] { Handler("filedrop").AccountSet("second", "two"); }) + "\n";
        return out + UserOf("filedrop") + "\n";
      });
  if (skip_) GTEST_SKIP() << "no mount namespace here";
  EXPECT_THAT(lines, MatchesRegex("ok\n(22[0-9][0-9]|2101) [^\n]*full[^\n]*\nfirst\n")) << lines;
}

TEST_F(StoreFaultTest, AReadOnlyStoreAnswersReadsAndRefusesChanges) {
  const std::string lines = InNamespace([this] { return ReadOnly(); },
                                        [] {
                                          return UserOf("filedrop") + "\n" + Outcome([] {
                                                   Handler("filedrop").HostEnabledSet(false);
                                                 });
                                        });
  if (skip_) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ("me\n2101 open " + Path("lock.gate") + ": Read-only file system", lines);
  EXPECT_EQ("NULL|me|secret", Row("filedrop"));
}

// A change cut off by a crash must be rolled back before anything can be read; on a store that
// went read-only since, it cannot be, and reads say so.
TEST_F(StoreFaultTest, ACutOffChangeOnAReadOnlyStoreFailsReadsWith2203) {
  CutOffAChange(Path("accounts.db"));
  const std::string lines = InNamespace(
      [this] { return ReadOnly(); }, [] { return UserOf("filedrop") + "\n" + Outcome(HostList); });
  if (skip_) GTEST_SKIP() << "no mount namespace here";
  const std::string db = Path("accounts.db");
  const std::string refused = "2203 " + db + " holds a change that was cut off (" + db +
                              "-journal), which must be rolled back before the database can be " +
                              "read, and the store cannot be written: make it writable again " +
                              "and the next call rolls it back";
  EXPECT_EQ(refused + "\n" + refused, lines);
  EXPECT_EQ("me", UserOf("filedrop"));  // writable again: rolled back
}

// A delete killed while it waits for a busy database, its plug-in's folder already out of user/:
// the plug-in is gone from listings and reads at once, and the next change forgets its account, so
// that a plug-in installed under its name later does not get it back.
TEST_F(StoreFaultTest, ADeleteKilledBeforeItForgetsTheAccountIsFinishedByTheNextChange) {
  InstallUser("openmirror");
  Handler("openmirror").AccountSet("old", "pw");
  {
    Database writer(Path("accounts.db"));
    writer.Sql("BEGIN IMMEDIATE");
    const pid_t child = ::fork();
    if (child == 0) {
      Outcome([] { Handler("openmirror").HostDelete(); });
      ::_exit(0);
    }
    for (int i = 0; i < 1000 && Exists(Path("user/openmirror")); ++i) ::usleep(10000);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
  }
  EXPECT_EQ("2002 no host plug-in named \"openmirror\"", UserOf("openmirror"));
  EXPECT_EQ(1U, HostList().size());
  EXPECT_EQ("NULL|old|pw", Row("openmirror"));  // recorded, not yet finished
  Handler("filedrop").HostEnabledSet(true);
  EXPECT_EQ("<none>", Row("openmirror"));
  InstallUser("openmirror");
  EXPECT_EQ("<none>", UserOf("openmirror"));
}

// SQLite's locks are POSIX record locks, which a process loses all at once when it closes any
// descriptor of the file: a read must not close one while another connection of this process
// writes. The other process is a new program, not a fork, which would share SQLite's bookkeeping.
TEST_F(StoreFaultTest, ReadsKeepAWritingConnectionsLockFromOtherProcesses) {
  Database writer(Path("accounts.db"));
  writer.Sql("BEGIN IMMEDIATE");
  EXPECT_EQ("me", UserOf("filedrop"));
  const fake::ProgramResult other =
      fake::RunProgram({"python3", "-c",
                        "import sqlite3, sys\n"
                        "try:\n"
                        "    sqlite3.connect(sys.argv[1], timeout=0, "
                        "isolation_level=None).execute('BEGIN IMMEDIATE')\n"
                        "    print('granted')\n"
                        "except sqlite3.OperationalError as error:\n"
                        "    print(error)\n",
                        Path("accounts.db")},
                       fake::CurrentEnvironment(), "");
  EXPECT_EQ("database is locked\n", other.out) << other.err;
}

}  // namespace
}  // namespace vexodl::vexohost::test
