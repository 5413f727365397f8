// The account database on disk: file modes, schema versions and migrations.
#include <sqlite3.h>
#include <sys/stat.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "locked_database.h"
#include "outside/vexohost.h"
#include "state_dir_fixture.h"

namespace vexodl::vexohost::test {
namespace {

using ::testing::HasSubstr;

// Runs `sql` on the database at `path` with SQLite directly; returns the first column of the last
// row, or "" when there is none.
std::string Sql(const std::string& path, const std::string& sql) {
  sqlite3* raw = nullptr;
  sqlite3_open(path.c_str(), &raw);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close_v2);
  std::string last;
  char* error = nullptr;
  const int rc = sqlite3_exec(
      db.get(), sql.c_str(),
      [](void* out, int, char** values, char**) {
        *static_cast<std::string*>(out) = values[0] != nullptr ? values[0] : "NULL";
        return 0;
      },
      &last, &error);
  if (rc != SQLITE_OK) {
    ADD_FAILURE() << "SQL failed: " << (error ? error : "") << " in " << sql;
    sqlite3_free(error);
  }
  return last;
}

class UmaskZero {
 public:
  UmaskZero() : old_(::umask(0)) {}
  ~UmaskZero() { ::umask(old_); }

 private:
  mode_t old_;
};

class DatabaseTest : public StateDirTest {
 protected:
  std::string db() const { return Path("accounts.db"); }
};

TEST_F(DatabaseTest, DatabaseAndLockFileAreMode0600WhateverTheUmask) {
  Ship("filedrop");
  {
    UmaskZero umask_zero;
    Handler("filedrop").AccountSet("alice", "one");
  }
  EXPECT_EQ(0600u, Mode(db()));
  EXPECT_EQ(0600u, Mode(Path("lock")));
  EXPECT_EQ(0600u, Mode(Path("lock.gate")));
  EXPECT_FALSE(Exists(Path("accounts.db-journal")));
}

TEST_F(DatabaseTest, AnExistingDatabaseReadableByOthersIsTightened) {
  Ship("filedrop");
  Handler("filedrop").AccountSet("alice", "one");
  ASSERT_EQ(0, ::chmod(db().c_str(), 0644));
  Json::Value out;
  Handler("filedrop").AccountGet(out);
  EXPECT_EQ(0600u, Mode(db()));
  EXPECT_EQ("alice", out["username"].asString());
}

TEST_F(DatabaseTest, NewDatabaseCarriesTheCurrentSchemaVersion) {
  Ship("filedrop");
  Handler("filedrop").HostEnabledSet(true);
  EXPECT_EQ("2", Sql(db(), "PRAGMA user_version"));
  EXPECT_EQ("hosts", Sql(db(), "SELECT group_concat(name) FROM sqlite_master WHERE type='table'"));
}

TEST_F(DatabaseTest, SchemaVersion1IsMigratedWithEveryAccountAndState) {
  Ship("filedrop");
  Ship("cloudvault");
  Ship("openmirror");
  Sql(db(),
      "CREATE TABLE accounts(host TEXT PRIMARY KEY NOT NULL, username TEXT NOT NULL,"
      "                      password TEXT NOT NULL);"
      "CREATE TABLE enabled_states(host TEXT PRIMARY KEY NOT NULL, enabled INTEGER NOT NULL);"
      "INSERT INTO accounts VALUES ('filedrop', 'alice', 'one'), ('openmirror', 'olga', 'three');"
      "INSERT INTO enabled_states VALUES ('cloudvault', 0), ('openmirror', 1);"
      "PRAGMA user_version = 1;");
  ASSERT_EQ(0, ::chmod(db().c_str(), 0600));

  Json::Value listing;
  Handler("").List(listing);

  ASSERT_EQ(3u, listing.size());
  EXPECT_EQ("cloudvault", listing[0]["name"].asString());
  EXPECT_FALSE(listing[0]["enable"].asBool());
  EXPECT_FALSE(listing[0].isMember("username"));
  EXPECT_EQ("alice", listing[1]["username"].asString());
  EXPECT_TRUE(listing[1]["enable"].asBool());
  EXPECT_EQ("olga", listing[2]["username"].asString());
  EXPECT_TRUE(listing[2]["enable"].asBool());
  EXPECT_EQ("2", Sql(db(), "PRAGMA user_version"));
  EXPECT_EQ("hosts", Sql(db(), "SELECT group_concat(name) FROM sqlite_master WHERE type='table'"));
  EXPECT_EQ("NULL|alice|one", Row("filedrop"));
  EXPECT_EQ("0|NULL|NULL", Row("cloudvault"));
  EXPECT_EQ("1|olga|three", Row("openmirror"));
}

TEST_F(DatabaseTest, NewerSchemaVersionIsRefusedAndLeftUntouched) {
  Ship("filedrop");
  Sql(db(), "CREATE TABLE future(x); PRAGMA user_version = 7;");
  const std::string before = ReadFile(db());
  Thrown thrown = ErrorOf([] { Handler("filedrop").AccountSet("alice", "one"); });
  EXPECT_EQ(2202, thrown.code);
  EXPECT_THAT(thrown.message,
              HasSubstr("accounts.db has schema version 7; this build knows versions up to 2"));
  EXPECT_EQ(before, ReadFile(db()));
  Json::Value listing;
  EXPECT_EQ(2202, ErrorOf([&] { Handler("").List(listing); }).code);
}

TEST_F(DatabaseTest, AnUnusableBusyTimeoutIs2310BeforeTheDatabaseIsTouched) {
  Ship("filedrop");
  for (const char* text : {"soon", "0", "600001", "15s", " 10", "+5"}) {
    ::setenv("VEXODL_VEXOHOST_BUSY_TIMEOUT_MS", text, 1);
    const Thrown thrown = ErrorOf([] { Handler("filedrop").AccountSet("alice", "one"); });
    EXPECT_EQ(2310, thrown.code) << text;
    EXPECT_EQ(
        "VEXODL_VEXOHOST_BUSY_TIMEOUT_MS must be a whole number of milliseconds from 1 to 600000",
        thrown.message);
  }
  ::unsetenv("VEXODL_VEXOHOST_BUSY_TIMEOUT_MS");
  EXPECT_FALSE(Exists(db()));
}

TEST_F(DatabaseTest, AFileThatIsNoDatabaseIsReported) {
  Ship("filedrop");
  WriteFile(db(), "this is not an SQLite database, but it is long enough to have a header");
  Thrown thrown = ErrorOf([] { Handler("filedrop").HostEnabledSet(false); });
  EXPECT_EQ(2200, thrown.code);
  EXPECT_THAT(thrown.message, HasSubstr("accounts.db: file is not a database"));
}

TEST_F(DatabaseTest, ASymbolicLinkInPlaceOfTheDatabaseIsRefused) {
  Ship("filedrop");
  WriteFile(Path("elsewhere"), "");
  ASSERT_EQ(0, ::symlink(Path("elsewhere").c_str(), db().c_str()));
  Thrown thrown = ErrorOf([] { Handler("filedrop").AccountSet("alice", "one"); });
  EXPECT_EQ(2101, thrown.code);
  EXPECT_THAT(thrown.message, HasSubstr("open " + db() + ": Too many levels of symbolic links"));
  EXPECT_EQ("", ReadFile(Path("elsewhere")));
}

// A writer killed in the middle of a change (a power cut) leaves a hot journal; the next read,
// whichever it is, rolls it back and answers with what was last committed.
TEST_F(DatabaseTest, EveryReadRollsBackAChangeCutOffByACrash) {
  Ship("filedrop");
  Handler("filedrop").AccountSet("alice", "one");
  const std::vector<std::pair<const char*, std::function<std::string()>>> reads = {
      {"AccountGet",
       [] {
         Json::Value out;
         Handler("filedrop").AccountGet(out);
         return out["username"].asString();
       }},
      {"List",
       [] {
         Json::Value out;
         Handler("").List(out);
         return out[0]["username"].asString();
       }},
  };
  for (const auto& [name, read] : reads) {
    { const LockedDatabase crashed(db(), "IMMEDIATE", LockedDatabase::Ending::kCrash); }
    ASSERT_TRUE(Exists(db() + "-journal")) << name;
    EXPECT_EQ("alice", read()) << name;
    EXPECT_FALSE(Exists(db() + "-journal")) << name;
    EXPECT_EQ("NULL|alice|one", Row("filedrop")) << name;
    EXPECT_EQ("0", Sql(db(), "SELECT count(*) FROM sqlite_master WHERE name = 'spill'")) << name;
  }
}

}  // namespace
}  // namespace vexodl::vexohost::test
