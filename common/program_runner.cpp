#include "program_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <optional>
#include <utility>

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

// A program may leave its process group (setsid, a double fork), and killing the group would miss
// whatever it left there. So the program runs under a reaper: a process forked from the caller to
// which every orphan below it comes; it starts the program, reports how the program ended, and
// kills and reaps every process left below it, then exits: on the caller's word (or the caller's
// end), or as soon as the program has ended and nothing is left below it, so that the caller,
// which waits for the reaper, waits no longer than it must. Nothing the program started outlives
// the call, and the calling process changes no process-wide state: no subreaper flag, no signal
// handler. The library cannot count on an executable of ours being installed, hence a fork rather
// than a helper program.
//
// Where the caller may (root, and a kernel that allows it), the reaper is init of a PID namespace
// of its own. Orphans come to it, no process inside can signal it (the kernel drops what a
// namespace sends its init, but for the signals it handles: SIGCHLD), none can leave, and when it
// ends, however it ends, the kernel kills everything inside. Elsewhere the reaper makes itself a
// child subreaper instead, and a program of the caller's user can kill it: what the program
// started then runs on, and the run ends as kReaperKilled.
//
// The reaper is a copy of a caller that may have other threads, so it calls async-signal-safe
// functions only and allocates nothing: what it needs, the program's spawn attributes and file
// actions included, is prepared before the fork. It is forked with fork() rather than _Fork(), so
// that the fork handlers of the C library and of the sanitizers leave their own locks usable in the
// copy. It starts the program with posix_spawn, whose vfork-style child shares the reaper's memory
// instead of copying it once more.

// What the reaper writes to its caller, once: how the program ended, or why it never started.
struct Report {
  int code;   // CLD_EXITED, CLD_KILLED or CLD_DUMPED as waitid() tells it; 0: it never started
  int value;  // its exit status or the signal that ended it; errno when it never started
};

// The reaper's own descriptors, above the program's standard input and output, which it holds on
// 0 and 1 until the program has them.
constexpr int kWordFd = 3;    // readable, or at its end, once the caller wants everything killed
constexpr int kReportFd = 4;  // where the Report goes

// PID_MAX_LIMIT: no process id is larger.
constexpr long kMaxPid = 4 * 1024 * 1024;

// Everything the reaper needs, prepared before the fork. Its descriptors are all 3 or above.
struct ReaperPlan {
  const char* path;
  char* const* argv;
  char* const* envp;
  // For the program: standard error on /dev/null, nothing above it, its own process group and
  // default signal handling. Its standard input and output are the reaper's, set by the reaper.
  const posix_spawn_file_actions_t* actions;
  const posix_spawnattr_t* attributes;
  int input;   // the program's standard input
  int output;  // its standard output
  int word;    // the read end of the caller's word
  int report;  // the write end of the report
  pid_t caller;
  bool own_pid_namespace;  // forked as init of a new PID namespace
  sigset_t all;            // the reaper blocks every signal but while it waits
  sigset_t wake;           // all but SIGCHLD: the mask while it waits
};

void NoteChild(int) {}

void SendReport(const Report& report) {
  [[maybe_unused]] const ssize_t written = write(kReportFd, &report, sizeof(report));
}

// Sends SIGKILL to each child that /proc lists for the reaper (a single thread); how many were
// sent, or -1 when the list cannot be read (no /proc, or a kernel without the list).
int KillListedChildren() {
  const int fd = open("/proc/thread-self/children", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[4096];
  ssize_t length = 0;
  while ((length = read(fd, text, sizeof(text))) < 0 && errno == EINTR) {
  }
  close(fd);
  if (length < 0) return -1;
  // "pid pid ... ": a number cut off at the buffer's end has no blank after it and waits for the
  // next round; one past kMaxPid is no process id and is never used.
  int killed = 0;
  long pid = 0;
  for (ssize_t i = 0; i < length; ++i) {
    if (text[i] >= '0' && text[i] <= '9') {
      if (pid <= kMaxPid) pid = pid * 10 + (text[i] - '0');
      continue;
    }
    if (pid > 0 && pid <= kMaxPid && kill(static_cast<pid_t>(pid), SIGKILL) == 0) ++killed;
    pid = 0;
  }
  return killed;
}

// Kills the program (unless reaped already) and every process left below the reaper, and reaps
// them. Orphans come to the reaper, so killing its children until none is left reaches every
// descendant, whatever group or session it is in. Where /proc cannot list them, only the program's
// process group is killed, and what left it goes to init, as without a reaper. As init of its PID
// namespace the reaper reaches them all with one kill(-1): every process in the namespace is below
// it, and /proc, mounted for the caller's namespace, would number them otherwise.
void KillDescendants(pid_t program, bool program_reaped, bool namespace_init) {
  if (namespace_init) {
    kill(-1, SIGKILL);
    while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
    }
    return;
  }
  if (!program_reaped) {
    kill(-program, SIGKILL);  // pid `program` is not reaped, so the group is still the program's
    kill(program, SIGKILL);
  }
  int status = 0;
  for (int idle_rounds = 0;;) {
    pid_t done = 0;
    while ((done = waitpid(-1, &status, WNOHANG)) > 0) {
      program_reaped = program_reaped || done == program;
    }
    if (done < 0) break;  // ECHILD: none left
    const int killed = KillListedChildren();
    if (killed > 0) {
      done = waitpid(-1, &status, 0);  // one of them, killed, ends at once
      program_reaped = program_reaped || done == program;
      idle_rounds = 0;
      continue;
    }
    // Alive yet not listed: just orphaned, or not ours to kill (set-user-ID). Bounded either way.
    if (killed < 0 || ++idle_rounds > 100) break;
    const timespec pause{0, 1'000'000};
    nanosleep(&pause, nullptr);
  }
  if (!program_reaped) waitpid(program, &status, 0);
}

[[noreturn]] void RunReaper(const ReaperPlan& plan) {
  // The word and the report on 3 and 4, and nothing of the caller's but the program's streams
  // until it has them: its other children's pipes and its sockets must not stay open with the
  // reaper.
  const int word = plan.word > kReportFd ? plan.word : fcntl(plan.word, F_DUPFD, kReportFd + 1);
  const int report =
      plan.report > kReportFd ? plan.report : fcntl(plan.report, F_DUPFD, kReportFd + 1);
  if (word < 0 || report < 0 || dup2(plan.input, STDIN_FILENO) < 0 ||
      dup2(plan.output, STDOUT_FILENO) < 0 || dup2(word, kWordFd) < 0 ||
      dup2(report, kReportFd) < 0) {
    const Report failed{0, errno};
    [[maybe_unused]] const ssize_t written = write(report, &failed, sizeof(failed));
    _exit(127);
  }
  closefrom(kReportFd + 1);

  // No core files: the reaper is a copy of its caller, and the program has what it was given on
  // its standard input, passwords included. The program inherits the limit, the hard one too.
  const rlimit no_core{0, 0};
  if (setrlimit(RLIMIT_CORE, &no_core) != 0) {
    SendReport(Report{0, errno});
    _exit(0);
  }

  struct sigaction note {};
  note.sa_handler = NoteChild;
  note.sa_mask = plan.all;
  sigaction(SIGCHLD, &note, nullptr);
  // The caller's end wakes the reaper too. Not SIGKILL: the reaper would die before the
  // processes it is there to kill.
  prctl(PR_SET_PDEATHSIG, SIGCHLD);
  // As init of its namespace the reaper sees no parent (getppid() is 0); the word's end, when the
  // caller's descriptors close, tells it of the caller's end there. getpid() is 1 for init alone,
  // and kill(-1) is for no other reaper.
  const bool namespace_init = plan.own_pid_namespace && getpid() == 1;
  const auto caller_gone = [&plan, namespace_init] {
    return !namespace_init && getppid() != plan.caller;
  };
  if (caller_gone()) _exit(0);
  // Where a subreaper is refused (qemu-user 7 does), orphans go to init as they would without a
  // reaper, and only the program's process group is killed.
  const bool subreaper = namespace_init || prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;

  pid_t program = -1;
  const int error =
      posix_spawn(&program, plan.path, plan.actions, plan.attributes, plan.argv, plan.envp);
  if (error != 0) {
    SendReport(Report{0, error});
    _exit(0);
  }
  // Where an emulator runs the spawn's vfork-style child as a copy that the reaper does not wait
  // for, the group might not exist yet when the word comes; the group is all there is to kill.
  if (!subreaper) setpgid(program, program);
  // Only the program holds its streams, so that its end shows as end of file to the caller.
  close(STDIN_FILENO);
  close(STDOUT_FILENO);

  // Without a subreaper the program stays unreaped (a zombie) until its group is killed, so that
  // its pid, which is the group's id, cannot pass to another process meanwhile.
  const int keep = subreaper ? 0 : WNOWAIT;
  bool ended = false;
  for (;;) {
    siginfo_t info{};
    if (!ended && waitid(P_PID, static_cast<id_t>(program), &info, WEXITED | WNOHANG | keep) == 0 &&
        info.si_pid == program) {
      ended = true;
      SendReport(Report{info.si_code, info.si_status});
    }
    if (ended && subreaper) {
      // Orphans that ended on their own. With no child left, nothing runs below the reaper: every
      // orphan of the program came to it before the program could be reaped.
      pid_t done = 0;
      while ((done = waitpid(-1, nullptr, WNOHANG)) > 0) {
      }
      if (done < 0) _exit(0);
    }
    if (caller_gone()) break;
    pollfd word_entry{kWordFd, POLLIN, 0};
    const int ready = ppoll(&word_entry, 1, nullptr, &plan.wake);
    if (ready > 0 || (ready < 0 && errno != EINTR)) break;
  }
  KillDescendants(program, ended && subreaper, namespace_init);
  _exit(0);
}

std::atomic<bool> pid_namespace_allowed{true};

// NewPidNamespace makes the next process that this thread forks init of a new PID namespace, and
// when destroyed has the thread fork into its own namespace again. Only this thread changes, and
// only while the object lives. Without root, or where the kernel refuses (EPERM in a container,
// EINVAL or ENOSYS without PID namespaces, an emulator's refusal), it does nothing.
class NewPidNamespace {
 public:
  NewPidNamespace() {
    if (geteuid() != 0 || !pid_namespace_allowed.load()) return;
    UniqueFd own(open("/proc/thread-self/ns/pid_for_children", O_RDONLY | O_CLOEXEC));
    // The way back is tried first, with no change: a thread that could not come back would fork
    // into a namespace whose init is gone, and fail, for ever.
    if (!own.valid() || setns(own.get(), CLONE_NEWPID) != 0) return;
    if (unshare(CLONE_NEWPID) == 0) own_ = std::move(own);
  }
  ~NewPidNamespace() {
    if (own_.valid()) setns(own_.get(), CLONE_NEWPID);
  }
  NewPidNamespace(const NewPidNamespace&) = delete;
  NewPidNamespace& operator=(const NewPidNamespace&) = delete;

  bool entered() const { return own_.valid(); }

 private:
  UniqueFd own_;
};

// Forks the reaper, as init of a PID namespace of its own where it can be, with every signal
// blocked in this thread, so that no handler of the caller ever runs in it; this thread's mask and
// namespace are back before it returns.
pid_t ForkReaper(ReaperPlan* plan) {
  const NewPidNamespace pid_namespace;
  plan->own_pid_namespace = pid_namespace.entered();
  sigset_t saved;
  pthread_sigmask(SIG_SETMASK, &plan->all, &saved);
  const pid_t pid = fork();
  if (pid == 0) RunReaper(*plan);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return pid;
}

// SpawnSetup is the program's posix_spawn attributes and file actions, with their destroy calls.
class SpawnSetup {
 public:
  SpawnSetup() {
    attributes_ready_ = posix_spawnattr_init(&attributes_) == 0;
    actions_ready_ = posix_spawn_file_actions_init(&actions_) == 0;
  }
  ~SpawnSetup() {
    if (actions_ready_) posix_spawn_file_actions_destroy(&actions_);
    if (attributes_ready_) posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  bool Prepare() {
    if (!attributes_ready_ || !actions_ready_) return false;
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    // The caller may block or ignore signals (SIGPIPE, SIGTERM) that the program must not
    // inherit; its own process group lets a kill reach whatever the program started there.
    return posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
           posix_spawnattr_setsigdefault(&attributes_, &all) == 0 &&
           posix_spawnattr_setpgroup(&attributes_, 0) == 0 &&
           posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                      POSIX_SPAWN_SETPGROUP) == 0 &&
           posix_spawn_file_actions_addopen(&actions_, STDERR_FILENO, "/dev/null", O_WRONLY, 0) ==
               0 &&
           // The reaper's word and report, and what the caller's other threads may have opened
           // without close-on-exec, are none of the program's business.
           posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1) == 0;
  }

  const posix_spawnattr_t* attributes() const { return &attributes_; }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }

 private:
  posix_spawnattr_t attributes_;
  posix_spawn_file_actions_t actions_;
  bool attributes_ready_ = false;
  bool actions_ready_ = false;
};

// Reaper is the caller's side of a started reaper: it hears the program's end, and when finished
// or destroyed tells the reaper to kill whatever is left and waits until it has.
class Reaper {
 public:
  Reaper(pid_t pid, UniqueFd word, UniqueFd report)
      : pid_(pid), word_(std::move(word)), report_(std::move(report)) {}
  ~Reaper() { Finish(); }
  Reaper(const Reaper&) = delete;
  Reaper& operator=(const Reaper&) = delete;

  // How the program ended; nothing when `deadline` passed first or the reaper ended without a word.
  std::optional<Report> AwaitReport(const Deadline& deadline) {
    for (;;) {
      pollfd entry{report_.get(), POLLIN, 0};
      const int ready = poll(&entry, 1, deadline.PollTimeout());
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return std::nullopt;
      if (ready == 0) {
        if (deadline.Passed()) return std::nullopt;
        continue;
      }
      Report report{};
      const ssize_t n = read(report_.get(), &report, sizeof(report));
      if (n < 0 && errno == EINTR) continue;
      // The reaper writes it whole in one write, below PIPE_BUF: it arrives whole or not at all.
      if (n != sizeof(report)) return std::nullopt;
      return report;
    }
  }

  // Ends the run and waits for the reaper: the signal that killed it before it was done, or 0.
  int Finish() {
    if (pid_ < 0) return 0;
    word_.Reset();
    // A caller that ignores SIGCHLD, or reaps every child itself, makes this fail with ECHILD,
    // but only once the reaper has ended.
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return done > 0 && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }

 private:
  pid_t pid_;
  UniqueFd word_;
  UniqueFd report_;
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
  // A missing program is common (pyLoad not installed, where every listing asks it): found out
  // here, it costs a system call, not a fork of the caller. The spawn still tells the rest.
  const auto not_started = [&run](int error) {
    run.start_error = error;
    return run;
  };
  if (access(program.c_str(), X_OK) != 0) return not_started(errno);
  const Deadline deadline(timeout);
  Pipe to_child;
  Pipe from_child;
  Pipe word;
  Pipe report;
  if (!MakePipe(&to_child) || !MakePipe(&from_child) || !MakePipe(&word) || !MakePipe(&report)) {
    return not_started(errno);
  }
  if (!SetNonBlocking(to_child.write.get()) || !SetNonBlocking(from_child.read.get())) {
    return not_started(errno);
  }
  SpawnSetup setup;
  if (!setup.Prepare()) return run;

  char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
  ReaperPlan plan{};
  plan.path = program.c_str();
  plan.argv = argv;
  plan.envp = environ;
  plan.actions = setup.actions();
  plan.attributes = setup.attributes();
  plan.input = to_child.read.get();
  plan.output = from_child.write.get();
  plan.word = word.read.get();
  plan.report = report.write.get();
  plan.caller = getpid();
  sigfillset(&plan.all);
  plan.wake = plan.all;
  sigdelset(&plan.wake, SIGCHLD);
  const pid_t pid = ForkReaper(&plan);
  if (pid < 0) return not_started(errno);
  Reaper reaper(pid, std::move(word.write), std::move(report.read));
  // Only the reaper and the program keep their ends, so that their end shows here.
  to_child.read.Reset();
  from_child.write.Reset();
  word.read.Reset();
  report.write.Reset();

  run.end = Converse(std::move(to_child.write), from_child.read, input, max_output_bytes, deadline,
                     &run.output);
  if (run.end == ProgramRun::End::kExited) {
    const std::optional<Report> ended = reaper.AwaitReport(deadline);
    if (!ended) {
      // Its output closed, yet it lives on past the deadline (or the reaper was killed).
      run.end = deadline.Passed() ? ProgramRun::End::kTimedOut : ProgramRun::End::kKilled;
    } else if (ended->code == 0) {
      run.end = ProgramRun::End::kNotStarted;
      run.start_error = ended->value;
    } else if (ended->code == CLD_EXITED) {
      run.exit_status = ended->value;
    } else {
      run.end = ProgramRun::End::kKilled;
      run.signal = ended->value;
    }
  }
  // A reaper killed before it was done (by the program, or the OOM killer) killed nothing, and
  // may have told nothing: that is the news, whatever the program did.
  if (const int signal = reaper.Finish(); signal != 0) {
    run.end = ProgramRun::End::kReaperKilled;
    run.signal = signal;
  }
  return run;
}

void SetPidNamespaceForTesting(bool allowed) { pid_namespace_allowed.store(allowed); }

std::optional<std::string> RunProgram(const std::string& program, const std::string& input,
                                      std::chrono::milliseconds timeout,
                                      std::size_t max_output_bytes) {
  ProgramRun run = RunProgramFully(program, input, timeout, max_output_bytes);
  if (run.end != ProgramRun::End::kExited || run.exit_status != 0) return std::nullopt;
  return std::move(run.output);
}

}  // namespace vexodl::common
