#include "program_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include <optional>

#include "deadline.h"
#include "unique_fd.h"

extern char** environ;

namespace vexodl::common {

namespace {

// A pipe whose two ends are close-on-exec and numbered 3 or above, so that placing them on the
// child's 0 and 1 never overwrites the other end.
struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

UniqueFd AboveStandardStreams(UniqueFd fd) {
  if (!fd.valid() || fd.get() > 2) return fd;
  return UniqueFd(fcntl(fd.get(), F_DUPFD_CLOEXEC, 3));
}

bool MakePipe(Pipe* pipe) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  pipe->read = AboveStandardStreams(UniqueFd(fds[0]));
  pipe->write = AboveStandardStreams(UniqueFd(fds[1]));
  return pipe->read.valid() && pipe->write.valid();
}

bool SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags != -1 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Child owns a started process: unless Wait has collected its status, destruction kills its
// process group and reaps it, so no path leaves a zombie or a stray process behind.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  ~Child() { Kill(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Waits for the child to end until `deadline`; its wait status, or nothing on timeout.
  std::optional<int> Wait(const Deadline& deadline) {
    // A descriptor that becomes readable when the child ends lets poll() sleep exactly as long
    // as needed; where the kernel (or qemu-user) has no pidfd_open, sleep and look again.
    const UniqueFd exit_fd(static_cast<int>(syscall(SYS_pidfd_open, pid_, 0)));
    for (;;) {
      int status = 0;
      const pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        return status;
      }
      if (done < 0 && errno == EINTR) continue;
      if (done < 0) {  // ECHILD: somebody else reaped it, the status is lost
        pid_ = -1;
        return std::nullopt;
      }
      if (deadline.Passed()) return std::nullopt;
      if (exit_fd.valid()) {
        pollfd entry{exit_fd.get(), POLLIN, 0};
        poll(&entry, 1, deadline.PollTimeout());
        continue;
      }
      const timespec pause{0, 2'000'000};  // 2 ms; the caller has at most one child to watch
      nanosleep(&pause, nullptr);
    }
  }

  void Kill() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGKILL);  // the whole group: helpers the program started die with it
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

 private:
  pid_t pid_;
};

// Blocks SIGPIPE in the calling thread while it writes to a pipe whose reader may be gone, and
// discards a SIGPIPE raised meanwhile, so that writing to a dead child shows only as EPIPE.
class SigpipeBlock {
 public:
  SigpipeBlock() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &saved_);
  }
  ~SigpipeBlock() {
    sigset_t pending;
    if (!was_pending_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
      const timespec now{0, 0};
      while (sigtimedwait(&pipe_, nullptr, &now) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

 private:
  sigset_t pipe_;
  sigset_t saved_;
  bool was_pending_ = false;
};

// spawn attributes and file actions with their destroy calls.
class SpawnSetup {
 public:
  SpawnSetup() {
    ok_ = posix_spawnattr_init(&attr_) == 0;
    if (!ok_) return;
    attr_ready_ = true;
    ok_ = posix_spawn_file_actions_init(&actions_) == 0;
    actions_ready_ = ok_;
  }
  ~SpawnSetup() {
    if (actions_ready_) posix_spawn_file_actions_destroy(&actions_);
    if (attr_ready_) posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  bool Prepare(int stdin_fd, int stdout_fd) {
    if (!ok_) return false;
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    // The caller may block or ignore signals (SIGPIPE, SIGTERM) that the program must not
    // inherit; its own process group lets a timeout kill whatever the program started.
    return posix_spawnattr_setsigmask(&attr_, &none) == 0 &&
           posix_spawnattr_setsigdefault(&attr_, &all) == 0 &&
           posix_spawnattr_setpgroup(&attr_, 0) == 0 &&
           posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                POSIX_SPAWN_SETPGROUP) == 0 &&
           posix_spawn_file_actions_adddup2(&actions_, stdin_fd, STDIN_FILENO) == 0 &&
           posix_spawn_file_actions_adddup2(&actions_, stdout_fd, STDOUT_FILENO) == 0 &&
           posix_spawn_file_actions_addopen(&actions_, STDERR_FILENO, "/dev/null", O_WRONLY, 0) ==
               0 &&
           // Descriptors that the calling program or a library in it opened without close-on-exec
           // (libcurl's file:// handle is one) are none of the child's business.
           posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1) == 0;
  }

  const posix_spawnattr_t* attr() const { return &attr_; }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }

 private:
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
  bool ok_ = false;
  bool attr_ready_ = false;
  bool actions_ready_ = false;
};

// Feeds `input` to `to_child` and collects `from_child` until the child closes its output.
// Returns kExited when the child closed its output (not yet reaped), or why the conversation
// ended early. Closes `to_child` once the input is written, or when the child stops reading.
ProgramRun::End Converse(UniqueFd to_child, const UniqueFd& from_child, const std::string& input,
                         std::size_t max_output_bytes, const Deadline& deadline,
                         std::string* output) {
  SigpipeBlock no_sigpipe;
  std::size_t written = 0;
  if (input.empty()) to_child.Reset();
  char buffer[16 * 1024];
  for (;;) {
    pollfd entries[2] = {{from_child.get(), POLLIN, 0}, {to_child.get(), POLLOUT, 0}};
    const nfds_t count = to_child.valid() ? 2 : 1;
    const int ready = poll(entries, count, deadline.PollTimeout());
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return ProgramRun::End::kKilled;
    if (ready == 0) {
      // PollTimeout() caps one wait; only the deadline itself ends the conversation.
      if (deadline.Passed()) return ProgramRun::End::kTimedOut;
      continue;
    }

    if (count == 2 && entries[1].revents != 0) {
      const ssize_t n = write(to_child.get(), input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      // EPIPE: the program stopped reading; what it answers still decides.
      if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
        to_child.Reset();
      }
    }
    if (entries[0].revents != 0) {
      const ssize_t n = read(from_child.get(), buffer, sizeof(buffer));
      if (n == 0) return ProgramRun::End::kExited;
      if (n > 0) {
        if (output->size() + static_cast<std::size_t>(n) > max_output_bytes) {
          return ProgramRun::End::kTooMuchOutput;
        }
        output->append(buffer, static_cast<std::size_t>(n));
      } else if (errno != EAGAIN && errno != EINTR) {
        return ProgramRun::End::kKilled;
      }
    }
  }
}

}  // namespace

ProgramRun RunProgramFully(const std::string& program, const std::string& input,
                           std::chrono::milliseconds timeout, std::size_t max_output_bytes) {
  ProgramRun run;
  const Deadline deadline(timeout);
  Pipe to_child;
  Pipe from_child;
  if (!MakePipe(&to_child) || !MakePipe(&from_child)) return run;
  if (!SetNonBlocking(to_child.write.get()) || !SetNonBlocking(from_child.read.get())) return run;
  SpawnSetup setup;
  if (!setup.Prepare(to_child.read.get(), from_child.write.get())) return run;

  char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), setup.actions(), setup.attr(), argv, environ) != 0) {
    return run;
  }
  Child child(pid);
  // Only the child keeps its ends, so that its exit shows as end of file here.
  to_child.read.Reset();
  from_child.write.Reset();

  run.end = Converse(std::move(to_child.write), from_child.read, input, max_output_bytes, deadline,
                     &run.output);
  if (run.end != ProgramRun::End::kExited) {
    child.Kill();
    return run;
  }
  const std::optional<int> status = child.Wait(deadline);
  if (!status) {
    // Its output closed, yet it lives on past the deadline (or its status was taken from us).
    run.end = deadline.Passed() ? ProgramRun::End::kTimedOut : ProgramRun::End::kKilled;
  } else if (WIFEXITED(*status)) {
    run.exit_status = WEXITSTATUS(*status);
  } else {
    run.end = ProgramRun::End::kKilled;
    run.signal = WIFSIGNALED(*status) ? WTERMSIG(*status) : 0;
  }
  return run;
}

std::optional<std::string> RunProgram(const std::string& program, const std::string& input,
                                      std::chrono::milliseconds timeout,
                                      std::size_t max_output_bytes) {
  ProgramRun run = RunProgramFully(program, input, timeout, max_output_bytes);
  if (run.end != ProgramRun::End::kExited || run.exit_status != 0) return std::nullopt;
  return std::move(run.output);
}

}  // namespace vexodl::common
