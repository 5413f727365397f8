#pragma once

#include <sys/types.h>

#include <string>

namespace vexodl::vexohost::test {

// LockedDatabase is another process, python3's sqlite3 module started without a shell, that holds
// a write lock on the SQLite database at `path` from construction until destruction: `mode`
// "IMMEDIATE" still lets readers in, "EXCLUSIVE" keeps them out too. The constructor returns once
// the lock is held, or throws std::runtime_error; the destructor has the transaction rolled back,
// so the holder changes nothing, and reaps the process.
//
// With kCrash, the holder also changes every row of the table `hosts` and writes part of the
// change into the database file, and at destruction dies without rolling it back, as a writer
// killed in the middle of a change (a power cut): a hot journal is left beside the database.
class LockedDatabase {
 public:
  enum class Ending { kRollBack, kCrash };

  LockedDatabase(const std::string& path, const std::string& mode,
                 Ending ending = Ending::kRollBack);
  ~LockedDatabase();
  LockedDatabase(const LockedDatabase&) = delete;
  LockedDatabase& operator=(const LockedDatabase&) = delete;

 private:
  void Release();

  pid_t pid_ = -1;
  int input_ = -1;  // the holder's standard input: closing it lets go of the lock
};

}  // namespace vexodl::vexohost::test
