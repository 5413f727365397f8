#include "program_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <system_error>
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
// functions only and allocates nothing: what it needs is prepared before the fork. It is forked
// with fork() rather than _Fork(), so that the fork handlers of the C library and of the
// sanitizers leave their own locks usable in the copy. It starts the program from a vfork child,
// which shares the reaper's memory instead of copying it once more, and which makes system calls
// only until it executes the program (StartProgram): posix_spawn cannot drop privileges.

// What the reaper writes to its caller, once: how the program ended, or why it never started.
struct Report {
  int code;   // CLD_EXITED, CLD_KILLED or CLD_DUMPED as waitid() tells it; 0: it never started
  int value;  // its exit status or the signal that ended it; errno when it never started
};

// The reaper's own descriptors, above the program's standard input and output, which it holds on
// 0 and 1 until the program has them. All of them close when the program starts.
constexpr int kWordFd = 3;     // readable, or at its end, once the caller wants everything killed
constexpr int kReportFd = 4;   // where the Report goes
constexpr int kProgramFd = 5;  // the program, where it is executed through a descriptor
constexpr int kFolderFd = 6;   // the program's working directory, where it has one of its own
constexpr int kFirstFreeFd = 7;
// Where a program executed through a descriptor finds it: an interpreter reopens a script as
// /dev/fd/3, so it stays open, as the only descriptor above standard error.
constexpr int kExecutedFd = 3;

// PID_MAX_LIMIT: no process id is larger.
constexpr long kMaxPid = 4 * 1024 * 1024;

// Everything the reaper needs, prepared before the fork. Its descriptors are all 3 or above.
struct ReaperPlan {
  const char* path;  // executed by this path unless through `program`
  char* const* argv;
  char* const* envp;
  int input;             // the program's standard input
  int output;            // its standard output
  int word;              // the read end of the caller's word
  int report;            // the write end of the report
  int program;           // -1, or the program (O_PATH), executed through this descriptor
  int folder;            // -1, or the program's working directory (O_PATH)
  bool drop_privileges;  // the program runs as `uid` and `gid`, with no supplementary groups
  uid_t uid;
  gid_t gid;
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

// The 32-bit ARM calls without the suffix take 16-bit ids.
#ifdef SYS_setresuid32
constexpr long kSetGroups = SYS_setgroups32;
constexpr long kSetResGid = SYS_setresgid32;
constexpr long kSetResUid = SYS_setresuid32;
#else
constexpr long kSetGroups = SYS_setgroups;
constexpr long kSetResGid = SYS_setresgid;
constexpr long kSetResUid = SYS_setresuid;
#endif

// The vfork child's work: it shares the reaper's memory, C library state included, so it makes
// system calls only, and tells the reaper the errno value of the one that failed on `failed`,
// which closes when the program starts. Its standard input and output are the reaper's; it puts
// standard error on /dev/null, enters its own process group and working directory, drops
// privileges (groups first, the user last, and no_new_privs: no set-user-ID program gives them
// back), unblocks every signal (the reaper left their dispositions at default), and executes the
// program. The working directory comes before the drop, which may leave it out of reach.
[[noreturn]] __attribute__((noinline)) void ExecProgram(const ReaperPlan& plan, int failed) {
  const long null = syscall(SYS_openat, AT_FDCWD, "/dev/null", O_WRONLY | O_CLOEXEC);
  const std::uint64_t no_signals = 0;  // the kernel's signal set: 64 bits wherever we build
  const bool ready =
      null >= 0 &&
      (null == STDERR_FILENO ? syscall(SYS_fcntl, STDERR_FILENO, F_SETFD, 0)
                             : syscall(SYS_dup3, null, STDERR_FILENO, 0)) >= 0 &&
      syscall(SYS_setpgid, 0, 0) == 0 && (plan.folder < 0 || syscall(SYS_fchdir, kFolderFd) == 0) &&
      (!plan.drop_privileges || (syscall(kSetGroups, 0, nullptr) == 0 &&
                                 syscall(kSetResGid, plan.gid, plan.gid, plan.gid) == 0 &&
                                 syscall(kSetResUid, plan.uid, plan.uid, plan.uid) == 0 &&
                                 syscall(SYS_prctl, PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0)) &&
      (plan.program < 0 || syscall(SYS_dup3, kProgramFd, kExecutedFd, 0) >= 0) &&
      syscall(SYS_rt_sigprocmask, SIG_SETMASK, &no_signals, nullptr, sizeof no_signals) == 0;
  if (ready && plan.program < 0) {
    syscall(SYS_execve, plan.path, plan.argv, plan.envp);
  } else if (ready) {
    syscall(SYS_execveat, kExecutedFd, "", plan.argv, plan.envp, AT_EMPTY_PATH);
    // Emulators that lack execveat (qemu-user 7) run the same file by its name in /proc.
    if (errno == ENOSYS) syscall(SYS_execve, "/proc/self/fd/3", plan.argv, plan.envp);
  }
  const int error = errno;
  syscall(SYS_write, failed, &error, sizeof error);
  syscall(SYS_exit_group, 127);
  __builtin_unreachable();
}

// Starts the program; 0, or the errno value that kept it from starting. Where an emulator runs
// the vfork child as a copy that does not share the reaper's memory, the child still reports
// over the pipe, and the reaper still waits until the program has started or failed to.
int StartProgram(const ReaperPlan& plan, pid_t* program) {
  // Of the descriptors up to 2, only standard error can be free (a caller may have closed its
  // own); pipe2 numbers the read end first, so the write end never takes the child's 2.
  int failed[2];
  if (pipe2(failed, O_CLOEXEC) != 0) return errno;
  const pid_t pid = vfork();
  if (pid == 0) ExecProgram(plan, failed[1]);
  int error = pid < 0 ? errno : 0;
  close(failed[1]);
  if (pid > 0) {
    ssize_t n = 0;
    while ((n = read(failed[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    if (n != sizeof error) error = 0;  // end of file: the program runs
    if (error != 0) waitpid(pid, nullptr, 0);
  }
  close(failed[0]);
  *program = pid;
  return error;
}

// Puts the caller's descriptors where the reaper keeps them, all close-on-exec but the program's
// standard input and output, and closes every other one but standard error: the caller's other
// children's pipes and its sockets must not stay open with the reaper. Every descriptor is copied
// above the places first, so that no place overwrites one still to be moved. Returns 0, or the
// errno value of what failed; `complain_to` is where to report that.
int PlaceDescriptors(const ReaperPlan& plan, int* complain_to) {
  constexpr int kPlaces = 6;
  const int from[kPlaces] = {plan.input,  plan.output,  plan.word,
                             plan.report, plan.program, plan.folder};
  const int to[kPlaces] = {STDIN_FILENO, STDOUT_FILENO, kWordFd, kReportFd, kProgramFd, kFolderFd};
  int copies[kPlaces];
  *complain_to = plan.report;
  for (int i = 0; i < kPlaces; ++i) {
    copies[i] = from[i] < 0 ? -1 : fcntl(from[i], F_DUPFD_CLOEXEC, kFirstFreeFd);
    if (from[i] >= 0 && copies[i] < 0) return errno;
  }
  *complain_to = copies[3];
  for (int i = 0; i < kPlaces; ++i) {
    const int flags = to[i] > STDOUT_FILENO ? O_CLOEXEC : 0;
    if (copies[i] >= 0 && dup3(copies[i], to[i], flags) < 0) return errno;
  }
  closefrom(kFirstFreeFd);
  return 0;
}

// Readies the reaper: its descriptors, no core files, default signal dispositions, and a note of
// SIGCHLD and of the caller's end. A step that fails is reported, and the reaper exits.
void SetUpReaper(const ReaperPlan& plan) {
  int complain_to = -1;
  if (const int error = PlaceDescriptors(plan, &complain_to)) {
    const Report failed{0, error};
    [[maybe_unused]] const ssize_t written = write(complain_to, &failed, sizeof(failed));
    _exit(127);
  }

  // No core files: the reaper is a copy of its caller, and the program has what it was given on
  // its standard input, passwords included. The program inherits the limit, the hard one too.
  const rlimit no_core{0, 0};
  if (setrlimit(RLIMIT_CORE, &no_core) != 0) {
    SendReport(Report{0, errno});
    _exit(0);
  }

  // The caller may ignore signals (SIGPIPE, SIGTERM) that the program must not inherit; the
  // reaper blocks them all meanwhile.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) sigaction(signal, &default_action, nullptr);
  struct sigaction note {};
  note.sa_handler = NoteChild;
  note.sa_mask = plan.all;
  sigaction(SIGCHLD, &note, nullptr);
  // The caller's end wakes the reaper too. Not SIGKILL: the reaper would die before the
  // processes it is there to kill.
  prctl(PR_SET_PDEATHSIG, SIGCHLD);
}

// As init of its namespace the reaper sees no parent (getppid() is 0); the word's end, when the
// caller's descriptors close, tells it of the caller's end there.
bool CallerGone(const ReaperPlan& plan, bool namespace_init) {
  return !namespace_init && getppid() != plan.caller;
}

// Reports the program's end, reaps the orphans that end, and waits until the caller's word ends
// or the caller does. Returns whether the program ended and was reported.
bool WatchProgram(const ReaperPlan& plan, pid_t program, bool subreaper, bool namespace_init) {
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
    if (CallerGone(plan, namespace_init)) return ended;
    pollfd word_entry{kWordFd, POLLIN, 0};
    const int ready = ppoll(&word_entry, 1, nullptr, &plan.wake);
    if (ready > 0 || (ready < 0 && errno != EINTR)) return ended;
  }
}

[[noreturn]] void RunReaper(const ReaperPlan& plan) {
  SetUpReaper(plan);
  // getpid() is 1 for init alone, and kill(-1) is for no other reaper.
  const bool namespace_init = plan.own_pid_namespace && getpid() == 1;
  if (CallerGone(plan, namespace_init)) _exit(0);
  // Where a subreaper is refused (qemu-user 7 does), orphans go to init as they would without a
  // reaper, and only the program's process group is killed.
  const bool subreaper = namespace_init || prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;

  pid_t program = -1;
  if (const int error = StartProgram(plan, &program)) {
    SendReport(Report{0, error});
    _exit(0);
  }
  // Only the program holds its streams, so that its end shows as end of file to the caller.
  close(STDIN_FILENO);
  close(STDOUT_FILENO);
  close(kProgramFd);
  close(kFolderFd);
  const bool ended = WatchProgram(plan, program, subreaper, namespace_init);
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

// Opens what the reaper will need of `start`: the program itself where it runs as another user
// (executed through the descriptor, so that a path swapped meanwhile changes nothing) and its
// working directory. Returns 0, or the errno value that says why the program cannot start.
int OpenForStart(const std::string& program, const ProgramStart& start, UniqueFd* executable,
                 UniqueFd* folder) {
  // A missing program is common (pyLoad not installed, where every listing asks it): found out
  // here, it costs a system call, not a fork of the caller. The start still tells the rest.
  if (start.user) {
    *executable = AboveStandardStreams(UniqueFd(open(program.c_str(), O_PATH | O_CLOEXEC)));
    if (!executable->valid()) return errno;
  } else if (access(program.c_str(), X_OK) != 0) {
    return errno;
  }
  if (!start.working_directory.empty()) {
    *folder = AboveStandardStreams(
        UniqueFd(open(start.working_directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)));
    if (!folder->valid()) return errno;
  }
  return 0;
}

// The reaper's plan for running `argv` with the ends of the pipes and descriptors given.
ReaperPlan PlanFor(char* const* argv, const ProgramStart& start, const Pipe& to_child,
                   const Pipe& from_child, const Pipe& word, const Pipe& report,
                   const UniqueFd& executable, const UniqueFd& folder) {
  ReaperPlan plan{};
  plan.path = argv[0];
  plan.argv = argv;
  plan.envp = environ;
  plan.input = to_child.read.get();
  plan.output = from_child.write.get();
  plan.word = word.read.get();
  plan.report = report.write.get();
  plan.program = executable.get();
  plan.folder = folder.get();
  plan.drop_privileges = start.user.has_value();
  if (start.user) {
    plan.uid = start.user->uid;
    plan.gid = start.user->gid;
  }
  plan.caller = getpid();
  sigfillset(&plan.all);
  plan.wake = plan.all;
  sigdelset(&plan.wake, SIGCHLD);
  return plan;
}

// Completes `run`, whose program closed its output, with how the reaper says it ended.
void TakeReport(const std::optional<Report>& ended, const Deadline& deadline, ProgramRun* run) {
  if (!ended) {
    // Its output closed, yet it lives on past the deadline (or the reaper was killed).
    run->end = deadline.Passed() ? ProgramRun::End::kTimedOut : ProgramRun::End::kKilled;
  } else if (ended->code == 0) {
    run->end = ProgramRun::End::kNotStarted;
    run->start_error = ended->value;
  } else if (ended->code == CLD_EXITED) {
    run->exit_status = ended->value;
  } else {
    run->end = ProgramRun::End::kKilled;
    run->signal = ended->value;
  }
}

}  // namespace

ProgramRun RunProgramFully(const std::string& program, const std::string& input,
                           std::chrono::milliseconds timeout, std::size_t max_output_bytes,
                           const ProgramStart& start) {
  ProgramRun run;
  const auto not_started = [&run](int error) {
    run.start_error = error;
    return run;
  };
  UniqueFd executable;
  UniqueFd folder;
  if (const int error = OpenForStart(program, start, &executable, &folder)) {
    return not_started(error);
  }
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
  char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
  ReaperPlan plan = PlanFor(argv, start, to_child, from_child, word, report, executable, folder);
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
  if (run.end == ProgramRun::End::kExited) TakeReport(reaper.AwaitReport(deadline), deadline, &run);
  // A reaper killed before it was done (by the program, or the OOM killer) killed nothing, and
  // may have told nothing: that is the news, whatever the program did.
  if (const int signal = reaper.Finish(); signal != 0) {
    run.end = ProgramRun::End::kReaperKilled;
    run.signal = signal;
  }
  return run;
}

namespace {

std::string WhyNoAnswerOf(const ProgramRun& run, std::chrono::milliseconds timeout,
                          std::size_t max_output_bytes) {
  switch (run.end) {
    case ProgramRun::End::kNotStarted:
      return run.start_error == 0
                 ? "could not be started"
                 : "could not be started: " + std::generic_category().message(run.start_error);
    case ProgramRun::End::kTimedOut:
      return "did not answer within " + std::to_string(timeout.count()) + " ms and was killed";
    case ProgramRun::End::kKilled:
      return "died by signal " + std::to_string(run.signal);
    case ProgramRun::End::kTooMuchOutput:
      return "wrote more than " + std::to_string(max_output_bytes) + " bytes";
    case ProgramRun::End::kReaperKilled:
      return "reaper was killed by signal " + std::to_string(run.signal);
    case ProgramRun::End::kExited:
      if (run.exit_status != 0) return "exited with status " + std::to_string(run.exit_status);
      break;
  }
  return "";
}

}  // namespace

std::string WhyNoAnswer(const ProgramRun& run, const std::string& subject,
                        std::chrono::milliseconds timeout, std::size_t max_output_bytes) {
  const std::string why = WhyNoAnswerOf(run, timeout, max_output_bytes);
  if (why.empty()) return why;
  // A killed reaper is the cause, not the program.
  if (run.end == ProgramRun::End::kReaperKilled) return subject + "'s " + why;
  return subject + " " + why;
}

void SetPidNamespaceForTesting(bool allowed) { pid_namespace_allowed.store(allowed); }

std::optional<std::string> RunProgram(const std::string& program, const std::string& input,
                                      std::chrono::milliseconds timeout,
                                      std::size_t max_output_bytes) {
  ProgramRun run = RunProgramFully(program, input, timeout, max_output_bytes, ProgramStart{});
  if (run.end != ProgramRun::End::kExited || run.exit_status != 0) return std::nullopt;
  return std::move(run.output);
}

}  // namespace vexodl::common
