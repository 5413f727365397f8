#include "account_db.h"

#include <sqlite3.h>

#include <utility>

#include "error/vexo_error.h"
#include "errors.h"
#include "file.h"
#include "settings.h"

namespace vexodl::vexohost::internal {

namespace {

// The schema of a new database, kSchemaVersion: one row per host, so that forgetting a host is one
// statement.
constexpr char kSchema[] =
    "CREATE TABLE hosts(name TEXT PRIMARY KEY NOT NULL,"
    "                   enabled INTEGER CHECK (enabled IN (0, 1)),"
    "                   username TEXT, password TEXT,"
    "                   CHECK ((username IS NULL) = (password IS NULL)));";

// Where statements run: the connection, its file for messages, and how long the connection waits
// for another writer.
struct Connection {
  sqlite3* db;
  const std::string& path;
  std::chrono::milliseconds busy_timeout;
};

// Every SQLite failure ends here. The message is SQLite's own, which never quotes bound values,
// so no password reaches it.
[[noreturn]] void FailSqlite(const Connection& at, int rc, const std::string& what) {
  const std::string detail = at.db != nullptr ? sqlite3_errmsg(at.db) : sqlite3_errstr(rc);
  if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED) {
    Fail(kErrDatabaseBusy, what + " " + PrintablePath(at.path) + ": still busy after " +
                               std::to_string(at.busy_timeout.count()) + " ms (" + detail + ")");
  }
  Fail(kErrDatabase, what + " " + PrintablePath(at.path) + ": " + detail);
}

// Statement is one prepared statement, finalized when destroyed.
class Statement {
 public:
  Statement(const Connection& at, const char* sql) : at_(at) {
    const int rc = sqlite3_prepare_v2(at_.db, sql, -1, &stmt_, nullptr);
    if (rc != SQLITE_OK) FailSqlite(at_, rc, "prepare a statement on");
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
    FailSqlite(at_, rc, "query");
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
    if (rc != SQLITE_OK) FailSqlite(at_, rc, "bind a value on");
  }

  Connection at_;
  sqlite3_stmt* stmt_ = nullptr;
};

void Exec(const Connection& at, const char* sql, const char* what) {
  const int rc = sqlite3_exec(at.db, sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) FailSqlite(at, rc, what);
}

// Transaction is one IMMEDIATE transaction: it takes the write lock at once, so two writers never
// deadlock upgrading read locks. Rolled back when destroyed uncommitted.
class Transaction {
 public:
  // FULL syncs the journal and then the database before the journal is deleted. Set here, not
  // when connecting: on a read-only store, the connection that a read opens to roll back a
  // cut-off change must reach its first statement to say why it cannot.
  explicit Transaction(const Connection& at) : at_(at) {
    Exec(at_, "PRAGMA synchronous = FULL; BEGIN IMMEDIATE", "begin a transaction on");
  }
  ~Transaction() {
    if (!committed_) sqlite3_exec(at_.db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // A commit is on disk when this returns: the folder is synced once the journal is deleted, or a
  // power cut could bring the journal back and roll the commit back. The sync is ours, not
  // SQLite's (EXTRA), which passes over a folder it cannot open, and calls a failed sync a failed
  // commit although the change is in the database. Ours throws NotDurableError, and syncs also
  // after a commit that wrote nothing: the journal's deletion by an earlier one may not be on disk
  // yet.
  void Commit() {
    Exec(at_, "COMMIT", "commit a change to");
    committed_ = true;
    try {
      SyncFolder(at_.path.substr(0, at_.path.rfind('/')));
    } catch (const VexoError& error) {
      const std::string message =
          "commit a change to " + PrintablePath(at_.path) + ": " + error.what();
      throw NotDurableError(kErrDatabase, message.c_str());
    }
  }

 private:
  Connection at_;
  bool committed_ = false;
};

HostSettings SettingsOf(const Statement& row, int first_column) {
  HostSettings settings;
  if (!row.IsNull(first_column)) settings.enabled = row.Int(first_column) != 0;
  if (!row.IsNull(first_column + 1)) settings.username = row.Text(first_column + 1);
  return settings;
}

// How long a connection waits for another writer; read before anything is touched.
std::chrono::milliseconds BusyTimeout() {
  return TimeoutSetting(kBusyTimeoutVariable, kDefaultBusyTimeout,
                        std::chrono::milliseconds(600000));
}

// No build ever wrote another schema than kSchemaVersion: a database of another one is left as it
// is, and refused.
[[noreturn]] void OtherSchema(const std::string& path, int version) {
  Fail(kErrDatabaseVersion, PrintablePath(path) + " has schema version " + std::to_string(version) +
                                "; this build reads version " +
                                std::to_string(AccountDb::kSchemaVersion) + " only");
}

// Throws kErrStateDirUnsafe when the journal beside the database at `path` belongs to another
// user. SQLite writes the old pages of every change into it, passwords among them, and rolls a
// journal it finds back into the database: one that another user made could be read by them, or
// replace every account. Checked before SQLite opens the database, reads included.
void CheckJournal(const std::string& path) {
  EnsurePrivateFile(path + "-journal", PrivateFileUse::kChange);
}

}  // namespace

std::unique_ptr<AccountDb> AccountDb::Open(const std::string& path, bool create) {
  const std::chrono::milliseconds busy_timeout = BusyTimeout();
  // Made (or tightened) by us rather than by SQLite, whose files follow the umask; its journal
  // files take the database file's mode.
  if (!EnsurePrivateFile(path, create ? PrivateFileUse::kCreate : PrivateFileUse::kChange)) {
    return nullptr;
  }
  CheckJournal(path);
  // The schema is checked, and brought up to date, inside each change's own transaction: a
  // check of its own would cost every call one more transaction.
  return Connect(path, SQLITE_OPEN_READWRITE, busy_timeout);
}

std::unique_ptr<AccountDb> AccountDb::Connect(const std::string& path, int flags,
                                              std::chrono::milliseconds busy_timeout) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, flags | SQLITE_OPEN_NOFOLLOW, nullptr);
  std::unique_ptr<AccountDb> db(new AccountDb(raw, path, busy_timeout));
  if (rc != SQLITE_OK) FailSqlite({raw, path, busy_timeout}, rc, "open");
  sqlite3_extended_result_codes(raw, 1);
  sqlite3_busy_timeout(raw, static_cast<int>(busy_timeout.count()));
  return db;
}

std::unique_ptr<AccountDb> AccountDb::OpenForReading(const std::string& path,
                                                     const std::function<void()>& before_writing) {
  const std::chrono::milliseconds busy_timeout = BusyTimeout();
  if (!EnsurePrivateFile(path, PrivateFileUse::kRead)) return nullptr;
  CheckJournal(path);
  std::unique_ptr<AccountDb> db = Connect(path, SQLITE_OPEN_READONLY, busy_timeout);
  int version = 0;
  int rc = db->ReadUserVersion(&version);
  if (rc == SQLITE_READONLY_ROLLBACK) {
    // A writer died in the middle of a change and left its journal. A read-only connection may
    // not roll it back; a writable one does so before its first read, taking SQLite's exclusive
    // lock for it (waiting up to the busy timeout), and then reads the last committed data. No
    // store lock is needed: rolling back restores what was committed, as the next writer would.
    before_writing();
    db = Connect(path, SQLITE_OPEN_READWRITE, busy_timeout);
    rc = db->ReadUserVersion(&version);
    // SQLite opens a file it may not write read-only all the same, and then still refuses.
    if (rc == SQLITE_READONLY_ROLLBACK) {
      Fail(kErrDatabaseHotJournal,
           PrintablePath(path) + " holds a change that was cut off (" + PrintablePath(path) +
               "-journal), which must be rolled back before the database can be read, and the " +
               "store cannot be written: make it writable again and the next call rolls it back");
    }
  }
  if (rc != SQLITE_OK) FailSqlite({db->db_, path, busy_timeout}, rc, "query");
  // Made empty and never written: nothing is stored yet.
  if (version == 0) return nullptr;
  if (version != kSchemaVersion) OtherSchema(path, version);
  return db;
}

int AccountDb::ReadUserVersion(int* version) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &stmt, nullptr);
  if (rc == SQLITE_OK) {
    rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
      *version = sqlite3_column_int(stmt, 0);
      rc = SQLITE_OK;
    }
  }
  sqlite3_finalize(stmt);
  return rc;
}

AccountDb::~AccountDb() { sqlite3_close_v2(db_); }

void AccountDb::UpToDate() {
  const Connection at{db_, path_, busy_timeout_};
  int version = 0;
  if (const int rc = ReadUserVersion(&version); rc != SQLITE_OK) FailSqlite(at, rc, "query");
  if (version == kSchemaVersion) return;
  // Version 0 is a database that was made empty and never written.
  if (version != 0) OtherSchema(path_, version);
  Exec(at, kSchema, "create the schema of");
  Exec(at, ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str(),
       "set the schema version of");
}

HostSettings AccountDb::Get(const std::string& host) {
  Statement query({db_, path_, busy_timeout_},
                  "SELECT enabled, username FROM hosts WHERE name = ?1");
  query.Bind(1, host);
  return query.Step() ? SettingsOf(query, 0) : HostSettings{};
}

std::map<std::string, HostSettings> AccountDb::GetAll() {
  std::map<std::string, HostSettings> all;
  Statement query({db_, path_, busy_timeout_}, "SELECT name, enabled, username FROM hosts");
  while (query.Step()) all.emplace(query.Text(0), SettingsOf(query, 1));
  return all;
}

void AccountDb::SetAccount(const std::string& host, const std::string& username,
                           const std::string& password) {
  const Connection at{db_, path_, busy_timeout_};
  Transaction transaction(at);
  UpToDate();
  Statement(at,
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
  const Connection at{db_, path_, busy_timeout_};
  Transaction transaction(at);
  UpToDate();
  Statement(at, "UPDATE hosts SET username = NULL, password = NULL WHERE name = ?1")
      .Bind(1, host)
      .Step();
  // A row that stores nothing any more goes too.
  Statement(at, "DELETE FROM hosts WHERE name = ?1 AND enabled IS NULL").Bind(1, host).Step();
  transaction.Commit();
}

void AccountDb::SetEnabled(const std::string& host, bool enabled) {
  const Connection at{db_, path_, busy_timeout_};
  Transaction transaction(at);
  UpToDate();
  Statement(at,
            "INSERT INTO hosts(name, enabled) VALUES (?1, ?2)"
            " ON CONFLICT(name) DO UPDATE SET enabled = excluded.enabled")
      .Bind(1, host)
      .Bind(2, enabled ? 1 : 0)
      .Step();
  transaction.Commit();
}

void AccountDb::Forget(const std::string& host) {
  const Connection at{db_, path_, busy_timeout_};
  Transaction transaction(at);
  UpToDate();
  Statement(at, "DELETE FROM hosts WHERE name = ?1").Bind(1, host).Step();
  transaction.Commit();
}

}  // namespace vexodl::vexohost::internal
