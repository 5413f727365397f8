#include "reaper.h"

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
#include <utility>

#include "unique_fd.h"

namespace vexodl::common {

namespace {

std::atomic<bool> pid_namespace_allowed{true};

// The reaper's own descriptors, above the program's standard input and output, which it holds on
// 0 and 1 until the program has them. All of them close when the program starts.
constexpr int kWordFd = 3;     // readable, or at its end, once the caller wants everything killed
constexpr int kReportFd = 4;   // where the Report goes
constexpr int kProgramFd = 5;  // the program, where it is executed through a descriptor
constexpr int kFolderFd = 6;   // the program's working directory, where it has one of its own
constexpr int kErrorsFd = 7;   // the program's standard error, where the caller keeps it
constexpr int kFirstFreeFd = 8;
// Where a program executed through a descriptor finds it: an interpreter reopens a script as
// /dev/fd/3, so it stays open, as the only descriptor above standard error.
constexpr int kExecutedFd = 3;

// PID_MAX_LIMIT: no process id is larger.
constexpr long kMaxPid = 4 * 1024 * 1024;

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
// standard error on /dev/null unless the caller keeps it, enters its own process group and working
// directory, drops privileges (groups first, the user last, and no_new_privs: no set-user-ID
// program gives them back), unblocks every signal (the reaper left their dispositions at default),
// and executes the program. The working directory comes before the drop, which may leave it out of
// reach.
[[noreturn]] __attribute__((noinline)) void ExecProgram(const ReaperPlan& plan, int failed) {
  const long null = plan.errors >= 0
                        ? kErrorsFd
                        : syscall(SYS_openat, AT_FDCWD, "/dev/null", O_WRONLY | O_CLOEXEC);
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
  constexpr int kPlaces = 7;
  const int from[kPlaces] = {plan.input,  plan.output,  plan.word,  plan.errors,
                             plan.report, plan.program, plan.folder};
  const int to[kPlaces] = {STDIN_FILENO, STDOUT_FILENO, kWordFd,  kErrorsFd,
                           kReportFd,    kProgramFd,    kFolderFd};
  int copies[kPlaces];
  *complain_to = plan.report;
  for (int i = 0; i < kPlaces; ++i) {
    copies[i] = from[i] < 0 ? -1 : fcntl(from[i], F_DUPFD_CLOEXEC, kFirstFreeFd);
    if (from[i] >= 0 && copies[i] < 0) return errno;
  }
  *complain_to = copies[4];
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
  close(kErrorsFd);
  const bool ended = WatchProgram(plan, program, subreaper, namespace_init);
  KillDescendants(program, ended && subreaper, namespace_init);
  _exit(0);
}

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

}  // namespace

void AllowPidNamespace(bool allowed) { pid_namespace_allowed.store(allowed); }

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

}  // namespace vexodl::common
