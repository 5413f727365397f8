#include "account_db.h"

#include <sqlite3.h>

#include <utility>

#include "errors.h"
#include "file.h"

namespace vexodl::vexohost::internal {

namespace {

// migrations[v] takes a database of schema v to v + 1. A new database runs them all.
constexpr const char* kMigrations[AccountDb::kSchemaVersion] = {
    // 0 -> 1
    "CREATE TABLE accounts(host TEXT PRIMARY KEY NOT NULL, username TEXT NOT NULL,"
    "                      password TEXT NOT NULL);"
    "CREATE TABLE enabled_states(host TEXT PRIMARY KEY NOT NULL, enabled INTEGER NOT NULL);",
    // 1 -> 2: one row per host, so that forgetting a host is one statement.
    "CREATE TABLE hosts(name TEXT PRIMARY KEY NOT NULL,"
    "                   enabled INTEGER CHECK (enabled IN (0, 1)),"
    "                   username TEXT, password TEXT,"
    "                   CHECK ((username IS NULL) = (password IS NULL)));"
    "INSERT INTO hosts(name, username, password) SELECT host, username, password FROM accounts;"
    "INSERT INTO hosts(name, enabled) SELECT host, enabled != 0 FROM enabled_states WHERE true"
    "  ON CONFLICT(name) DO UPDATE SET enabled = excluded.enabled;"
    "DROP TABLE accounts;"
    "DROP TABLE enabled_states;",
};

// Every SQLite failure ends here. The message is SQLite's own, which never quotes bound values,
// so no password reaches it.
[[noreturn]] void FailSqlite(sqlite3* db, int rc, const std::string& what,
                             const std::string& path) {
  const std::string detail = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED) {
    Fail(kErrDatabaseBusy, what + " " + path + ": still busy after " +
                               std::to_string(AccountDb::kBusyTimeoutMs) + " ms (" + detail + ")");
  }
  Fail(kErrDatabase, what + " " + path + ": " + detail);
}

// Statement is one prepared statement, finalized when destroyed.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& path, const char* sql) : db_(db), path_(path) {
    const int rc = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
    if (rc != SQLITE_OK) FailSqlite(db_, rc, "prepare a statement on", path_);
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, const std::string& text) {
    Check(sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }
  Statement& Bind(int index, int value) {
    Check(sqlite3_bind_int(stmt_, index, value));
    return *this;
  }

  // True when a row is ready, false when the statement is done.
  bool Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    FailSqlite(db_, rc, "query", path_);
  }

  bool IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  int Int(int column) const { return sqlite3_column_int(stmt_, column); }
  std::string Text(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return std::string(text != nullptr ? text : "",
                       static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
  }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) FailSqlite(db_, rc, "bind a value on", path_);
  }

  sqlite3* db_;
  const std::string& path_;
  sqlite3_stmt* stmt_ = nullptr;
};

void Exec(sqlite3* db, const std::string& path, const char* sql, const char* what) {
  const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) FailSqlite(db, rc, what, path);
}

// Transaction is one IMMEDIATE transaction: it takes the write lock at once, so two writers never
// deadlock upgrading read locks. Rolled back when destroyed uncommitted.
class Transaction {
 public:
  Transaction(sqlite3* db, const std::string& path) : db_(db), path_(path) {
    Exec(db_, path_, "BEGIN IMMEDIATE", "begin a transaction on");
  }
  ~Transaction() {
    if (!committed_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  void Commit() {
    Exec(db_, path_, "COMMIT", "commit a change to");
    committed_ = true;
  }

 private:
  sqlite3* db_;
  const std::string& path_;
  bool committed_ = false;
};

int UserVersion(sqlite3* db, const std::string& path) {
  Statement version(db, path, "PRAGMA user_version");
  return version.Step() ? version.Int(0) : 0;
}

HostSettings SettingsOf(const Statement& row, int first_column) {
  HostSettings settings;
  if (!row.IsNull(first_column)) settings.enabled = row.Int(first_column) != 0;
  if (!row.IsNull(first_column + 1)) settings.username = row.Text(first_column + 1);
  return settings;
}

}  // namespace

std::unique_ptr<AccountDb> AccountDb::Open(const std::string& path, bool create) {
  // Made (or tightened) by us rather than by SQLite, whose files follow the umask; its journal
  // files take the database file's mode.
  if (!EnsurePrivateFile(path, create)) return nullptr;
  sqlite3* raw = nullptr;
  const int rc =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
  std::unique_ptr<AccountDb> db(new AccountDb(raw, path));
  if (rc != SQLITE_OK) FailSqlite(raw, rc, "open", path);
  sqlite3_extended_result_codes(raw, 1);
  sqlite3_busy_timeout(raw, kBusyTimeoutMs);
  db->Migrate();
  return db;
}

std::unique_ptr<AccountDb> AccountDb::OpenForReading(const std::string& path) {
  if (!EnsurePrivateFile(path, /*create=*/false)) return nullptr;
  sqlite3* raw = nullptr;
  const int rc =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr);
  std::unique_ptr<AccountDb> db(new AccountDb(raw, path));
  if (rc != SQLITE_OK) FailSqlite(raw, rc, "open", path);
  sqlite3_extended_result_codes(raw, 1);
  sqlite3_busy_timeout(raw, kBusyTimeoutMs);
  if (UserVersion(raw, path) != kSchemaVersion) return Open(path, /*create=*/false);
  return db;
}

AccountDb::~AccountDb() { sqlite3_close_v2(db_); }

void AccountDb::Migrate() {
  const auto check = [this](int version) {
    if (version > kSchemaVersion || version < 0) {
      Fail(kErrDatabaseVersion, path_ + " has schema version " + std::to_string(version) +
                                    "; this build knows versions up to " +
                                    std::to_string(kSchemaVersion));
    }
  };
  int version = UserVersion(db_, path_);
  if (version == kSchemaVersion) return;
  check(version);
  Transaction transaction(db_, path_);
  // Read again under the write lock: another connection may have migrated meanwhile.
  version = UserVersion(db_, path_);
  if (version == kSchemaVersion) return;
  check(version);
  for (; version < kSchemaVersion; ++version) {
    Exec(db_, path_, kMigrations[version], "migrate the schema of");
  }
  Exec(db_, path_, ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str(),
       "set the schema version of");
  transaction.Commit();
}

HostSettings AccountDb::Get(const std::string& host) {
  Statement query(db_, path_, "SELECT enabled, username FROM hosts WHERE name = ?1");
  query.Bind(1, host);
  return query.Step() ? SettingsOf(query, 0) : HostSettings{};
}

std::map<std::string, HostSettings> AccountDb::GetAll() {
  std::map<std::string, HostSettings> all;
  Statement query(db_, path_, "SELECT name, enabled, username FROM hosts");
  while (query.Step()) all.emplace(query.Text(0), SettingsOf(query, 1));
  return all;
}

void AccountDb::SetAccount(const std::string& host, const std::string& username,
                           const std::string& password) {
  Transaction transaction(db_, path_);
  Statement(db_, path_,
            "INSERT INTO hosts(name, username, password) VALUES (?1, ?2, ?3)"
            " ON CONFLICT(name) DO UPDATE SET username = excluded.username,"
            " password = excluded.password")
      .Bind(1, host)
      .Bind(2, username)
      .Bind(3, password)
      .Step();
  transaction.Commit();
}

void AccountDb::RemoveAccount(const std::string& host) {
  Transaction transaction(db_, path_);
  Statement(db_, path_, "UPDATE hosts SET username = NULL, password = NULL WHERE name = ?1")
      .Bind(1, host)
      .Step();
  // A row that stores nothing any more goes too.
  Statement(db_, path_, "DELETE FROM hosts WHERE name = ?1 AND enabled IS NULL")
      .Bind(1, host)
      .Step();
  transaction.Commit();
}

void AccountDb::SetEnabled(const std::string& host, bool enabled) {
  Transaction transaction(db_, path_);
  Statement(db_, path_,
            "INSERT INTO hosts(name, enabled) VALUES (?1, ?2)"
            " ON CONFLICT(name) DO UPDATE SET enabled = excluded.enabled")
      .Bind(1, host)
      .Bind(2, enabled ? 1 : 0)
      .Step();
  transaction.Commit();
}

void AccountDb::Forget(const std::string& host) {
  Transaction transaction(db_, path_);
  Statement(db_, path_, "DELETE FROM hosts WHERE name = ?1").Bind(1, host).Step();
  transaction.Commit();
}

}  // namespace vexodl::vexohost::internal
