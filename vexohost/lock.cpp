#include "lock.h"

#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "errors.h"

namespace vexodl::vexohost::internal {

namespace {

using Clock = std::chrono::steady_clock;

// Takes flock `operation` on `fd`, polling until `deadline`: a process that hangs while holding
// the lock costs the others an error rather than a hang. `path` names the store lock in errors.
void Acquire(const UniqueFd& fd, int operation, Clock::time_point deadline,
             const std::string& path) {
  std::chrono::milliseconds pause(1);
  while (::flock(fd.get(), operation | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) FailSystem("lock", path, errno);
    if (Clock::now() >= deadline) {
      Fail(kErrLockTimeout, "gave up waiting for the store lock " + PrintablePath(path) +
                                ", held by another process or thread");
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
}

}  // namespace

StoreLock::StoreLock(const std::string& path, Mode mode, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  // flock lets new shared holders in while an exclusive one waits, so a steady stream of account
  // changes could keep a delete out for ever. Everyone passes the gate one at a time on the way
  // in; an exclusive waiter keeps it closed until the shared holders inside have left.
  const std::string gate_path = path + ".gate";
  UniqueFd gate = OpenPrivateFile(gate_path);
  Acquire(gate, LOCK_EX, deadline, path);
  fd_ = OpenPrivateFile(path);
  Acquire(fd_, mode == Mode::kExclusive ? LOCK_EX : LOCK_SH, deadline, path);
}

}  // namespace vexodl::vexohost::internal
