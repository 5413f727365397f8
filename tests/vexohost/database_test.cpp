// The account database: what each change stores, the file on disk, its schema, and other
// connections that hold it or died writing it.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
#include "run_program.h"
#include "state_dir_fixture.h"

namespace vexodl::vexohost::test {
namespace {

class DatabaseTest : public StateDirTest {
 protected:
  DatabaseTest() {
    Ship("filedrop");
    InstallUser("cloudvault");
  }
  std::string db() const { return Path("accounts.db"); }
  std::string Rows() const { return Row("filedrop") + " " + Row("cloudvault"); }
  static std::string User(const std::string& host) {
    return HostObject(host)["username"].asString();
  }
};

TEST_F(DatabaseTest, FilesAreMadeAndKeptMode0600WhateverTheUmask) {
  const mode_t umask = ::umask(0);
  EXPECT_EQ("ok", Outcome([] { Handler("filedrop").AccountSet("alice", "one"); }));
  ::umask(umask);
  for (const char* file : {"accounts.db", "lock", "lock.gate"}) {
    EXPECT_EQ(0600u, Mode(Path(file))) << file;
  }
  ASSERT_EQ(0, ::chmod(db().c_str(), 0640));
  EXPECT_EQ("alice", User("filedrop"));
  EXPECT_EQ(0600u, Mode(db()));
}

// Refused before anything is written, for changes and reads alike: a busy timeout that is no
// number of milliseconds in range; a schema that no build ever wrote (a store on a read-only disk
// still says why); a link in the database's place, to a file that the refusal does not make.
TEST_F(DatabaseTest, RefusalsLeaveTheDatabaseAsItWas) {
  const auto schema = [this](int version) {
    Database(db()).Sql("CREATE TABLE IF NOT EXISTS t(x); PRAGMA user_version = " +
                       std::to_string(version));
    return "2202 " + db() + " has schema version " + std::to_string(version) +
           "; this build reads version 2 only";
  };
  const std::string timeout =
      "2310 VEXODL_VEXOHOST_BUSY_TIMEOUT_MS must be a whole number from 1 to 600000";
  const std::pair<const char*, std::function<std::string()>> rows[] = {
      {"600001", [&] { return timeout; }},
      {"600000", [&] { return schema(1); }},
      {"1", [&] { return schema(7); }},
      {"1",
       [this] {
         ::unlink(db().c_str());
         EXPECT_EQ(0, ::symlink("elsewhere", db().c_str()));
         return "2101 open " + db() + ": Too many levels of symbolic links";
       }},
  };
  for (const auto& [busy_timeout, make] : rows) {
    const fake::ScopedEnv env{{"VEXODL_VEXOHOST_BUSY_TIMEOUT_MS", busy_timeout}};
    const std::string refused = make();
    const std::string before = ReadFile(db());
    EXPECT_EQ(refused, Outcome([] { Handler("filedrop").AccountSet("alice", "one"); }));
    EXPECT_EQ(refused, Outcome([] { User("filedrop"); }));
    EXPECT_EQ(before, ReadFile(db())) << refused;
  }
  EXPECT_EQ("<missing>", ReadFile(Path("elsewhere")));
}

// Another connection holds the write lock: changes wait the busy timeout and fail, reads go on,
// and nothing is lost.
TEST_F(DatabaseTest, ChangesOfABusyDatabaseFailWith2201AtTheBusyTimeout) {
  Handler("filedrop").AccountSet("alice", "one");
  const fake::ScopedEnv env{{"VEXODL_VEXOHOST_BUSY_TIMEOUT_MS", "200"}};
  const std::vector<std::function<void()>> changes = {
      [] { Handler("filedrop").AccountSet("bob", "two"); },
      [] { Handler("cloudvault").HostDelete(); },
  };
  Database holder(db());
  holder.Sql("BEGIN IMMEDIATE");
  for (const auto& change : changes) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(
        "2201 begin a transaction on " + db() + ": still busy after 200 ms (database is locked)",
        Outcome(change));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
  }
  EXPECT_EQ("alice", User("filedrop"));
  holder.Sql("ROLLBACK");
  EXPECT_EQ("NULL|alice|one <none>", Rows());
  EXPECT_TRUE(Exists(Path("user/cloudvault/manifest.json")));
}

// The next read rolls a change cut off by a crash back and answers what was committed.
TEST_F(DatabaseTest, AReadRollsBackAChangeCutOffByACrash) {
  Handler("filedrop").AccountSet("alice", "one");
  // Another process starts a change and dies, as a writer does in a power cut, once its small
  // page cache overflowed into the file: a hot journal is left beside it.
  const fake::ProgramResult writer =
      fake::RunProgram({"python3", "-c",
                        "import os, sqlite3, sys\n"
                        "db = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                        "db.execute('PRAGMA cache_size = 8')\n"
                        "db.execute('BEGIN IMMEDIATE')\n"
                        "db.execute(\"UPDATE hosts SET username = 'torn', password = 'torn'\")\n"
                        "db.execute('CREATE TABLE spill(b)')\n"
                        "db.execute('INSERT INTO spill VALUES (zeroblob(1 << 16))')\n"
                        "os._exit(0)\n",
                        db()},
                       fake::CurrentEnvironment(), "");
  EXPECT_EQ(0, writer.exit_status) << writer.err;
  ASSERT_TRUE(Exists(db() + "-journal"));
  EXPECT_EQ("alice", User("filedrop"));
  EXPECT_FALSE(Exists(db() + "-journal"));
  EXPECT_EQ("NULL|alice|one", Row("filedrop"));
}

}  // namespace
}  // namespace vexodl::vexohost::test
