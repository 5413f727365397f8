// The account database: what each change stores, the file on disk, its schema, and other
// connections that hold it or died writing it.
#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
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

// Accounts and enabled states are stored apart: each change keeps the other, and a row that holds
// neither goes.
TEST_F(DatabaseTest, EachChangeKeepsWhatTheOthersStored) {
  struct Step {
    std::function<void()> change;
    const char* rows;
  };
  const std::vector<Step> steps = {
      {[] { Handler("filedrop").AccountSet("alice", "pa ss\"word"); },
       "NULL|alice|pa ss\"word <none>"},
      {[] { Handler("filedrop").HostEnabledSet(false); }, "0|alice|pa ss\"word <none>"},
      {[] { Handler("filedrop").AccountSet("bob", "two"); }, "0|bob|two <none>"},
      {[] { Handler("filedrop").HostRemoveAccount(); }, "0|NULL|NULL <none>"},
      {[] { Handler("filedrop").HostEnabledSet(true); }, "1|NULL|NULL <none>"},
      {[] { Handler("filedrop").AccountSet("", ""); }, "1|NULL|NULL <none>"},
      {[] { Handler("cloudvault").AccountSet("carol", "3"); }, "1|NULL|NULL NULL|carol|3"},
      {[] { Handler("cloudvault").AccountSet("", ""); }, "1|NULL|NULL <none>"},
  };
  for (const Step& step : steps) {
    step.change();
    EXPECT_EQ(step.rows, Rows());
  }
}

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

TEST_F(DatabaseTest, ALinkInPlaceOfTheDatabaseIsRefused) {
  WriteFile(Path("elsewhere"), "");
  ASSERT_EQ(0, ::symlink(Path("elsewhere").c_str(), db().c_str()));
  EXPECT_EQ("2101 open " + db() + ": Too many levels of symbolic links",
            Outcome([] { Handler("filedrop").AccountSet("alice", "one"); }));
  EXPECT_EQ("", ReadFile(Path("elsewhere")));
}

// No build ever wrote another schema: one is refused, before anything is written (a store on a
// read-only disk still says why).
TEST_F(DatabaseTest, AnotherSchemaIsRefusedAndLeftUntouched) {
  for (const int version : {1, 7}) {
    Database(db()).Sql("CREATE TABLE IF NOT EXISTS other(x); PRAGMA user_version = " +
                       std::to_string(version) + ";");
    const std::string before = ReadFile(db());
    const std::string refused = "2202 " + db() + " has schema version " + std::to_string(version) +
                                "; this build reads version 2 only";
    EXPECT_EQ(refused, Outcome([] { Handler("filedrop").AccountSet("alice", "one"); }));
    EXPECT_EQ(refused, Outcome([] { User("filedrop"); }));
    EXPECT_EQ(before, ReadFile(db()));
  }
}

TEST_F(DatabaseTest, AnUnusableBusyTimeoutIsRefusedBeforeTheDatabaseIsTouched) {
  for (const char* text : {"soon", "0", "600001"}) {
    const fake::ScopedEnv env{{"VEXODL_VEXOHOST_BUSY_TIMEOUT_MS", text}};
    EXPECT_EQ(
        "2310 VEXODL_VEXOHOST_BUSY_TIMEOUT_MS must be a whole number from 1 "
        "to 600000",
        Outcome([] { Handler("filedrop").AccountSet("alice", "one"); }))
        << text;
  }
  EXPECT_FALSE(Exists(db()));
}

// Another connection holds the write lock: changes wait the busy timeout and fail, reads go on,
// and nothing is lost.
TEST_F(DatabaseTest, ChangesOfABusyDatabaseFailWith2201AtTheBusyTimeout) {
  Handler("filedrop").AccountSet("alice", "one");
  const fake::ScopedEnv env{{"VEXODL_VEXOHOST_BUSY_TIMEOUT_MS", "200"}};
  const std::vector<std::function<void()>> changes = {
      [] { Handler("filedrop").AccountSet("bob", "two"); },
      [] { Handler("filedrop").HostEnabledSet(false); },
      [] { Handler("filedrop").HostRemoveAccount(); },
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

// The next read, whichever it is, rolls a cut-off change back and answers what was committed.
TEST_F(DatabaseTest, EveryReadRollsBackAChangeCutOffByACrash) {
  Handler("filedrop").AccountSet("alice", "one");
  const std::vector<std::function<std::string()>> reads = {
      [] { return User("filedrop"); },
      [] { return HostList()[1]["username"].asString(); },
  };
  for (const auto& read : reads) {
    CutOffAChange(db());
    ASSERT_TRUE(Exists(db() + "-journal"));
    EXPECT_EQ("alice", read());
    EXPECT_FALSE(Exists(db() + "-journal"));
    EXPECT_EQ("NULL|alice|one", Row("filedrop"));
  }
}

}  // namespace
}  // namespace vexodl::vexohost::test
