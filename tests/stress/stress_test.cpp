// The native store under writers in several processes at once: this program and worker processes
// (this program again, started with "--worker ID") store accounts on the same hosts through the
// real store. Afterwards every host holds the last account that one of the writers stored, no call
// failed but with the store's busy codes (the store lock's 2102, the database's 2201) after waiting
// for them, and the database is whole. Writers on threads of one process:
// tests/vexohost/lock_test.cpp.
#include <chrono>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "leak_check.h"
#include "outside/vexohost.h"
#include "run_program.h"
#include "state_dir_fixture.h"

namespace vexodl::stress {
namespace {

using ::testing::HasSubstr;

constexpr int kWorkers = 3;  // processes besides this one
constexpr int kRounds = 20;
constexpr const char* kHosts[] = {"filedrop", "cloudvault"};

std::string program;  // this program, as it was started

// Writer `id` stores kRounds accounts on every host. Returns a line "HOST ROW" per host, the row
// that its last stored account makes, and a line per call that failed but with a busy code after
// waiting for it.
std::string RunWriter(const std::string& id) {
  std::map<std::string, std::string> last;
  std::string report;
  for (int round = 0; round < kRounds; ++round) {
    for (const char* host : kHosts) {
      const std::string password = id + "/" + std::to_string(round);
      const auto start = std::chrono::steady_clock::now();
      try {
        vexohost::Handler(host).AccountSet(id, password);
        last[host] = "NULL|" + id + "|" + password;
      } catch (const VexoError& error) {
        // Busy is an answer only after the wait it stands for (seconds), never at once.
        const bool waited = std::chrono::steady_clock::now() - start > std::chrono::seconds(1);
        if ((error.code == 2102 || error.code == 2201) && waited) continue;
        report += "failed " + std::to_string(error.code) + " " + error.what() + "\n";
      }
    }
  }
  for (const auto& [host, row] : last) report += host + " " + row + "\n";
  return report;
}

class StressTest : public vexohost::test::StateDirTest {};

TEST_F(StressTest, EveryHostEndsWithTheLastAccountOfOneWriterAndTheDatabaseIsWhole) {
  std::string why;
  if (!fake::CanStartTargetPrograms(&why)) GTEST_SKIP() << "cannot start workers here: " << why;
  for (const char* host : kHosts) Ship(host);
  // The workers start before this process writes, and write while it does.
  std::vector<fake::ProgramResult> results(kWorkers);
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&result = results[w], w] {
      result = fake::RunProgram({program, "--worker", "p" + std::to_string(w)},
                                fake::CurrentEnvironment(), "");
    });
  }
  std::string reports = RunWriter("t");
  for (std::thread& worker : workers) worker.join();
  for (const fake::ProgramResult& result : results) {
    EXPECT_EQ(0, result.exit_status) << result.err;
    reports += result.out;
  }
  EXPECT_THAT(reports, ::testing::Not(HasSubstr("failed"))) << reports;
  for (const char* host : kHosts) {
    EXPECT_THAT(reports, HasSubstr(host + (" " + Row(host)) + "\n")) << reports;
  }
  EXPECT_EQ("ok", vexohost::test::Database(Path("accounts.db"), SQLITE_OPEN_READONLY)
                      .Sql("PRAGMA integrity_check"));
}

}  // namespace
}  // namespace vexodl::stress

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--worker") {
    std::cout << vexodl::stress::RunWriter(argv[2]);
    return 0;
  }
  vexodl::stress::program = argv[0];
  ::testing::InitGoogleMock(&argc, argv);
  vexodl::fake::CheckForLeaksAfterEveryTest();
  return RUN_ALL_TESTS();
}
