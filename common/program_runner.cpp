#include "program_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "deadline.h"
#include "reaper.h"
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

// Feeds `input` to `to_child` and collects `from_child` into `output` and `errors_from_child`
// (if valid) into `errors` until the child closes both. Returns kExited when it has (not yet
// reaped), or why the conversation ended early. Closes `to_child` once the input is written, or
// when the child stops reading.
ProgramRun::End Converse(UniqueFd to_child, UniqueFd from_child, UniqueFd errors_from_child,
                         const std::string& input, std::size_t max_output_bytes,
                         const Deadline& deadline, std::string* output, std::string* errors) {
  SigpipeBlock no_sigpipe;
  std::size_t written = 0;
  if (input.empty()) to_child.Reset();
  char buffer[16 * 1024];
  while (from_child.valid() || errors_from_child.valid()) {
    // poll() skips an entry whose descriptor is closed (-1).
    pollfd entries[3] = {{to_child.get(), POLLOUT, 0},
                         {from_child.get(), POLLIN, 0},
                         {errors_from_child.get(), POLLIN, 0}};
    const int ready = poll(entries, 3, deadline.PollTimeout());
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return ProgramRun::End::kKilled;
    if (ready == 0) {
      // PollTimeout() caps one wait; only the deadline itself ends the conversation.
      if (deadline.Passed()) return ProgramRun::End::kTimedOut;
      continue;
    }

    if (entries[0].revents != 0) {
      const ssize_t n = write(to_child.get(), input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      // EPIPE: the program stopped reading; what it answers still decides.
      if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
        to_child.Reset();
      }
    }
    for (int i = 1; i < 3; ++i) {
      if (entries[i].revents == 0) continue;
      UniqueFd& from = i == 1 ? from_child : errors_from_child;
      std::string* into = i == 1 ? output : errors;
      const ssize_t n = read(from.get(), buffer, sizeof(buffer));
      if (n == 0) from.Reset();
      if (n > 0) {
        if (output->size() + errors->size() + static_cast<std::size_t>(n) > max_output_bytes) {
          return ProgramRun::End::kTooMuchOutput;
        }
        into->append(buffer, static_cast<std::size_t>(n));
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        return ProgramRun::End::kKilled;
      }
    }
  }
  return ProgramRun::End::kExited;
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
                   const Pipe& from_child, const Pipe& errors, const Pipe& word, const Pipe& report,
                   const UniqueFd& executable, const UniqueFd& folder) {
  ReaperPlan plan{};
  plan.path = argv[0];
  plan.argv = argv;
  plan.input = to_child.read.get();
  plan.output = from_child.write.get();
  plan.errors = errors.write.valid() ? errors.write.get() : -1;
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
  Pipe errors;
  Pipe word;
  Pipe report;
  if (!MakePipe(&to_child) || !MakePipe(&from_child) || !MakePipe(&word) || !MakePipe(&report) ||
      (start.keep_errors && !MakePipe(&errors))) {
    return not_started(errno);
  }
  if (!SetNonBlocking(to_child.write.get()) || !SetNonBlocking(from_child.read.get()) ||
      (start.keep_errors && !SetNonBlocking(errors.read.get()))) {
    return not_started(errno);
  }
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& argument : start.arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  std::vector<char*> envp;
  if (start.environment) {
    for (const std::string& entry : *start.environment) {
      envp.push_back(const_cast<char*>(entry.c_str()));
    }
  }
  envp.push_back(nullptr);
  ReaperPlan plan =
      PlanFor(argv.data(), start, to_child, from_child, errors, word, report, executable, folder);
  plan.envp = start.environment ? envp.data() : environ;
  const pid_t pid = ForkReaper(&plan);
  if (pid < 0) return not_started(errno);
  Reaper reaper(pid, std::move(word.write), std::move(report.read));
  // Only the reaper and the program keep their ends, so that their end shows here.
  to_child.read.Reset();
  from_child.write.Reset();
  errors.write.Reset();
  word.read.Reset();
  report.write.Reset();

  run.end = Converse(std::move(to_child.write), std::move(from_child.read), std::move(errors.read),
                     input, max_output_bytes, deadline, &run.output, &run.errors);
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

void SetPidNamespaceForTesting(bool allowed) { AllowPidNamespace(allowed); }

std::optional<std::string> RunProgram(const std::string& program, const std::string& input,
                                      std::chrono::milliseconds timeout,
                                      std::size_t max_output_bytes) {
  ProgramRun run = RunProgramFully(program, input, timeout, max_output_bytes, ProgramStart{});
  if (run.end != ProgramRun::End::kExited || run.exit_status != 0) return std::nullopt;
  return std::move(run.output);
}

}  // namespace vexodl::common
