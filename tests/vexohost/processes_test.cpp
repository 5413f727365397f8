// Several processes changing one store at once lose nothing. Children are forked and started
// together through a pipe; each reports failure through its exit status and standard error.
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
#include "run_program.h"
#include "state_dir_fixture.h"

namespace vexodl::vexohost::test {
namespace {

constexpr int kProcesses = 4;
constexpr int kRounds = 20;

// Forks one child per element of `work`, lets them all start at once, waits for every one, and
// returns how many failed.
int RunChildren(const std::vector<std::function<void()>>& work) {
  int gate[2];
  if (::pipe(gate) != 0) return -1;
  std::vector<pid_t> children;
  for (const auto& job : work) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(gate[1]);
      char byte;
      while (::read(gate[0], &byte, 1) > 0) {
      }
      int status = 0;
      try {
        job();
      } catch (const VexoError& error) {
        std::fprintf(stderr, "child %d: VexoError %d: %s\n", static_cast<int>(::getpid()),
                     error.code, error.what());
        status = 1;
      } catch (...) {
        status = 2;
      }
      std::fflush(stderr);
      ::_exit(status);
    }
    if (pid > 0) children.push_back(pid);
  }
  ::close(gate[0]);
  ::close(gate[1]);  // opens the gate
  int failed = static_cast<int>(work.size() - children.size());
  for (const pid_t pid : children) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      ++failed;
    }
  }
  return failed;
}

class ProcessesTest : public StateDirTest {};

// The database does not exist yet: the children also race to create and migrate it.
TEST_F(ProcessesTest, EveryProcesssLastWriteIsStored) {
  std::vector<std::function<void()>> work;
  for (int p = 0; p < kProcesses; ++p) {
    const std::string name = "proc" + std::to_string(p);
    WritePlugin("user", name, ManifestText(name));
    work.emplace_back([name] {
      for (int round = 0; round < kRounds; ++round) {
        Handler(name).AccountSet("user" + std::to_string(round), "pw" + std::to_string(round));
        Handler(name).HostEnabledSet(round % 2 == 1);
        // Every process also writes a host that all of them share.
        Handler("shared").HostEnabledSet(true);
      }
    });
  }
  WritePlugin("shipped", "shared", ManifestText("shared"));

  EXPECT_EQ(0, RunChildren(work));

  const std::string last = std::to_string(kRounds - 1);
  for (int p = 0; p < kProcesses; ++p) {
    EXPECT_EQ("1|user" + last + "|pw" + last, Row("proc" + std::to_string(p)));
  }
  EXPECT_EQ("1|NULL|NULL", Row("shared"));
  EXPECT_EQ(0600u, Mode(Path("accounts.db")));
}

// Accounts stored while another process deletes the plug-in never outlive the plug-in.
TEST_F(ProcessesTest, AccountsWrittenDuringADeleteDoNotOutliveThePlugin) {
  InstallUser("cloudvault");
  std::vector<std::function<void()>> work;
  for (int p = 0; p < kProcesses; ++p) {
    work.emplace_back([p] {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (std::chrono::steady_clock::now() < deadline) {
        try {
          Handler("cloudvault").AccountSet("user" + std::to_string(p), "pw");
          Handler("cloudvault").HostEnabledSet(false);
        } catch (const VexoError& error) {
          if (error.code == 2002) return;  // deleted: done
          throw;
        }
      }
      throw std::runtime_error("the plug-in was never deleted");
    });
  }
  work.emplace_back([] {
    ::usleep(100 * 1000);
    Handler("cloudvault").HostDelete();
  });

  EXPECT_EQ(0, RunChildren(work));

  EXPECT_FALSE(Exists(Path("user/cloudvault")));
  EXPECT_EQ("<none>", Row("cloudvault"));
}

// SQLite's locks on accounts.db are POSIX record locks, which a process loses all at once when it
// closes any descriptor of the file. Reading the store while another connection of the same
// process writes must not close one, or another process could write at the same time. The other
// process is a new program (Python's sqlite3), not a fork: a forked child shares SQLite's own
// bookkeeping of this process's locks and would not ask the kernel.
TEST_F(ProcessesTest, ReadsKeepAWritingConnectionsLockFromOtherProcesses) {
  Ship("filedrop");
  Handler("filedrop").AccountSet("alice", "one");
  sqlite3* raw = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(Path("accounts.db").c_str(), &raw));
  const std::unique_ptr<sqlite3, int (*)(sqlite3*)> writer(raw, sqlite3_close);
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(raw, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));

  Json::Value out;
  Handler("filedrop").AccountGet(out);
  EXPECT_EQ("alice", out["username"].asString());
  Handler("").List(out);
  const fake::ProgramResult other =
      fake::RunProgram({"/usr/bin/python3", "-c",
                        "import sqlite3, sys\n"
                        "db = sqlite3.connect(sys.argv[1], timeout=0, isolation_level=None)\n"
                        "try:\n"
                        "    db.execute('BEGIN IMMEDIATE')\n"
                        "    print('granted')\n"
                        "except sqlite3.OperationalError as error:\n"
                        "    print(error)\n",
                        Path("accounts.db")},
                       fake::CurrentEnvironment(), "");
  EXPECT_EQ("database is locked\n", other.out) << other.err;
  EXPECT_EQ(SQLITE_OK, sqlite3_exec(raw, "ROLLBACK", nullptr, nullptr, nullptr));
}

}  // namespace
}  // namespace vexodl::vexohost::test
