// The native store under writers of several threads and processes at once: threads of this
// program and of worker processes (this program again, started with "--worker ID") store accounts
// on the same hosts through the real store. Afterwards every host holds the last account that one
// of its writers stored, no call failed but with the store's busy codes (the store lock's 2102,
// the database's 2201) after waiting for them, and the database is whole.
#include <sqlite3.h>

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

constexpr int kThreads = 3;  // in each process
constexpr int kWorkers = 2;  // processes besides this one
constexpr int kRounds = 10;
constexpr const char* kHosts[] = {"filedrop", "cloudvault"};

std::string program;  // this program, as it was started

// Runs kThreads writers, named `id`-0, `id`-1, ..., each storing kRounds accounts on every host.
// Returns a line "HOST ROW" per writer and host, the row that its last stored account makes, and a
// line per call that failed with anything but a busy code.
std::string RunWriters(const std::string& id) {
  std::vector<std::string> reports(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&report = reports[t], writer = id + "-" + std::to_string(t)] {
      std::map<std::string, std::string> last;
      for (int round = 0; round < kRounds; ++round) {
        for (const char* host : kHosts) {
          const std::string password = writer + "/" + std::to_string(round);
          const auto start = std::chrono::steady_clock::now();
          try {
            vexohost::Handler(host).AccountSet(writer, password);
            last[host] = "NULL|" + writer + "|" + password;
          } catch (const VexoError& error) {
            // Busy is an answer only after the wait it stands for (seconds), never at once.
            const bool waited = std::chrono::steady_clock::now() - start > std::chrono::seconds(1);
            if ((error.code == 2102 || error.code == 2201) && waited) continue;
            report += "failed " + std::to_string(error.code) + " " + error.what() + "\n";
          }
        }
      }
      for (const auto& [host, row] : last) report += host + " " + row + "\n";
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::string all;
  for (const std::string& report : reports) all += report;
  return all;
}

// What SQLite's own check of the database at `path` says: "ok" when it is whole.
std::string IntegrityCheck(const std::string& path) {
  sqlite3* raw = nullptr;
  sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close_v2);
  std::string result;
  const auto collect = [](void* out, int columns, char** values, char**) {
    for (int i = 0; i < columns; ++i) *static_cast<std::string*>(out) += values[i];
    return 0;
  };
  if (sqlite3_exec(db.get(), "PRAGMA integrity_check", collect, &result, nullptr) != SQLITE_OK) {
    return sqlite3_errmsg(db.get());
  }
  return result;
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
  std::string reports = RunWriters("t");
  for (std::thread& worker : workers) worker.join();
  for (const fake::ProgramResult& result : results) {
    EXPECT_EQ(0, result.exit_status) << result.err;
    reports += result.out;
  }
  EXPECT_THAT(reports, ::testing::Not(HasSubstr("failed"))) << reports;
  for (const char* host : kHosts) {
    EXPECT_THAT(reports, HasSubstr(host + (" " + Row(host)) + "\n")) << reports;
  }
  EXPECT_EQ("ok", IntegrityCheck(Path("accounts.db")));
}

}  // namespace
}  // namespace vexodl::stress

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--worker") {
    std::cout << vexodl::stress::RunWriters(argv[2]);
    return 0;
  }
  vexodl::stress::program = argv[0];
  ::testing::InitGoogleMock(&argc, argv);
  vexodl::fake::CheckForLeaksAfterEveryTest();
  return RUN_ALL_TESTS();
}
