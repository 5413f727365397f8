#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

struct sqlite3;

namespace vexodl::vexohost::internal {

// What is stored about one host. An unset member was never stored (or was removed).
struct HostSettings {
  std::optional<bool> enabled;
  std::optional<std::string> username;  // the password is never read back out of the store
};

// The environment variable that overrides kDefaultBusyTimeout, in milliseconds.
constexpr char kBusyTimeoutVariable[] = "VEXODL_VEXOHOST_BUSY_TIMEOUT_MS";
constexpr std::chrono::milliseconds kDefaultBusyTimeout{15000};

// AccountDb is the SQLite database of accounts and enabled states (docs/vexohost.md). Every change
// is one IMMEDIATE transaction, and every connection waits up to the busy timeout
// (kBusyTimeoutVariable, else kDefaultBusyTimeout) for another writer, so several processes and
// threads can change it at once and lose nothing; a statement still locked out after that throws
// kErrDatabaseBusy. One AccountDb belongs to one thread at a time.
class AccountDb {
 public:
  // The schema this build writes and reads, kept in PRAGMA user_version: one row per host,
  // hosts(name, enabled, username, password). Every build has written this one.
  static constexpr int kSchemaVersion = 2;

  // Opens the database at `path` for changes. When the file does not exist, creates it (mode
  // 0600) if `create`, and otherwise returns nullptr. Each change first creates the schema in a
  // database that has none, in its own transaction, and throws kErrDatabaseVersion for a database
  // of another schema, which it leaves untouched. Throws kErrSetting, before anything is touched,
  // when kBusyTimeoutVariable is unusable.
  static std::unique_ptr<AccountDb> Open(const std::string& path, bool create);
  // Opens the database at `path` for reading only, so that a store on a read-only disk still
  // answers; nullptr when the file does not exist or holds no schema yet. Throws
  // kErrDatabaseVersion for a database of another schema. The journal of a change that was cut off
  // (a crash, a power cut) needs a writable store to be rolled back: `before_writing` runs (and
  // may throw) first. Where that journal cannot be rolled back, throws kErrDatabaseHotJournal.
  static std::unique_ptr<AccountDb> OpenForReading(const std::string& path,
                                                   const std::function<void()>& before_writing);
  ~AccountDb();
  AccountDb(const AccountDb&) = delete;
  AccountDb& operator=(const AccountDb&) = delete;

  HostSettings Get(const std::string& host);
  std::map<std::string, HostSettings> GetAll();

  void SetAccount(const std::string& host, const std::string& username,
                  const std::string& password);
  void RemoveAccount(const std::string& host);
  void SetEnabled(const std::string& host, bool enabled);
  // Drops everything stored about `host`.
  void Forget(const std::string& host);

 private:
  AccountDb(sqlite3* db, std::string path, std::chrono::milliseconds busy_timeout)
      : db_(db), path_(std::move(path)), busy_timeout_(busy_timeout) {}
  static std::unique_ptr<AccountDb> Connect(const std::string& path, int flags,
                                            std::chrono::milliseconds busy_timeout);
  // PRAGMA user_version into `version`; SQLite's result code.
  int ReadUserVersion(int* version);
  // Creates the schema in a database that has none, inside the caller's transaction, which every
  // change opens first. Throws kErrDatabaseVersion for another schema; the caller's transaction
  // then rolls back.
  void UpToDate();

  sqlite3* db_;
  std::string path_;
  std::chrono::milliseconds busy_timeout_;
};

}  // namespace vexodl::vexohost::internal
