#pragma once

#include <chrono>
#include <string>

#include "file.h"

namespace vexodl::vexohost::internal {

// StoreLock holds the store-wide lock, flock(2) on the state directory's file `lock`, for its
// lifetime; it works across processes and, since every StoreLock opens the file afresh, across
// threads too. A second file, `lock.gate`, is held for a moment on the way in, so that an
// exclusive waiter is not starved by shared holders. Changes to the plug-in folders hold it
// exclusively; changes of accounts and enabled states hold it shared, so that none of them lands on
// a plug-in that is being removed. Readers take no lock. Lock before opening the database, never
// the other way round.
class StoreLock {
 public:
  enum class Mode { kShared, kExclusive };

  static constexpr std::chrono::milliseconds kDefaultTimeout{30000};

  // Waits up to `timeout` for the lock, then throws kErrLockTimeout.
  StoreLock(const std::string& path, Mode mode,
            std::chrono::milliseconds timeout = kDefaultTimeout);
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

 private:
  UniqueFd fd_;  // closing it releases the lock
};

}  // namespace vexodl::vexohost::internal
