#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace vexodl::common {

// How a program run by RunProgramFully ended.
struct ProgramRun {
  enum class End {
    kExited,         // it exited on its own; `exit_status` holds its status
    kNotStarted,     // it could not be started (missing, not executable, no resources)
    kTimedOut,       // it outlived the timeout; it and everything it started were killed
    kKilled,         // it died by signal `signal`
    kTooMuchOutput,  // it wrote more than the cap; it and everything it started were killed
    kReaperKilled,   // the reaper died by signal `signal`; what the program started may run on
  };
  End end = End::kNotStarted;
  int exit_status = 0;
  int signal = 0;
  int start_error = 0;  // kNotStarted: the errno value that kept it from starting; 0 if unknown
  std::string output;   // what it wrote to its standard output, whole only when kExited
  std::string errors;   // what it wrote to its standard error, where ProgramStart keeps it
};

// A user to run a program as: its id and primary group.
struct RunAs {
  uid_t uid = 0;
  gid_t gid = 0;
};

// Where and as whom RunProgramFully starts a program; the defaults keep the caller's.
struct ProgramStart {
  // The program's working directory, entered before anything else changes; empty: the caller's.
  // REQUIRES: an absolute `program` when set.
  std::string working_directory;
  // The user the program runs as, with its primary group, no supplementary groups and
  // no_new_privs (no set-user-ID program gives it more). The program is then opened before the
  // run and executed through that descriptor, so it need not be able to reach its own path; it
  // keeps the descriptor as 3, through which an interpreter reopens a script (/dev/fd/3), so a
  // script must be readable by that user. REQUIRES: the caller runs as root.
  std::optional<RunAs> user;
  // The program's arguments after its own name. Never a secret: other users can read them.
  std::vector<std::string> arguments{};
  // Its environment, as "NAME=VALUE" entries; none given: the caller's.
  std::optional<std::vector<std::string>> environment{};
  // Whether its standard error is kept in ProgramRun::errors, the cap counting both outputs,
  // rather than put on /dev/null.
  bool keep_errors = false;
};

// RunProgramFully runs the executable at `program` with the arguments, environment and standard
// error that `start` gives (no shell), in a process group of its own, with
// default signal handling, no core files (RLIMIT_CORE 0), `input` on its standard input, and says
// how it ended. The program runs under a reaper, a process forked from the caller that becomes
// the parent of every process the program leaves behind, in its process group or not (setsid, a
// double fork), and kills and reaps them all once the program has exited and nothing holds its
// output open, or at the deadline or the output cap, or when the caller dies.
//
// Where the caller runs as root and the kernel allows it, the reaper is init of a PID namespace
// of its own: nothing inside can kill it, and its end, however it comes, kills everything inside.
// Elsewhere it is a child subreaper, which a program of the caller's user can kill; where the
// system refuses a subreaper too (qemu-user 7 does) or /proc cannot list the reaper's children,
// only the program's process group is killed.
//
// The call returns after the reaper has ended: nothing the program started runs on, unless the
// reaper was killed outside a namespace of its own (kReaperKilled says a reaper was killed,
// whatever else went wrong), and the calling process keeps its signal handlers and is no
// subreaper. Every path closes every descriptor it opened; a program that stops reading its input
// raises no SIGPIPE in the caller; the status arrives over a pipe, so a caller that ignores
// SIGCHLD or reaps every child itself loses nothing but how a killed reaper died (its run then
// ends as kKilled with signal 0). Secrets belong in `input`: argv and the environment of a
// process can be read by other users.
ProgramRun RunProgramFully(const std::string& program, const std::string& input,
                           std::chrono::milliseconds timeout, std::size_t max_output_bytes,
                           const ProgramStart& start = {});

// Test hook: while `allowed` is false, RunProgramFully never gives the reaper a PID namespace of
// its own, as where the system refuses one, so that tests reach that way as root. True until a
// test changes it; not for the service.
void SetPidNamespaceForTesting(bool allowed);

// WhyNoAnswer says why `run` gave no answer, naming the program as `subject` ("the verifier"):
// "the verifier could not be started: No such file or directory", "... did not answer within 300
// ms and was killed", "... died by signal 9", "... wrote more than 64 bytes", "... exited with
// status 3", "the verifier's reaper was killed by signal 9"; "" when it exited with status 0.
// `timeout` and `max_output_bytes` are those it ran with.
std::string WhyNoAnswer(const ProgramRun& run, const std::string& subject,
                        std::chrono::milliseconds timeout, std::size_t max_output_bytes);

// RunProgram is RunProgramFully for callers that only take a clean answer: the program's output
// when it exited with status 0 within `timeout`, nothing otherwise.
std::optional<std::string> RunProgram(const std::string& program, const std::string& input,
                                      std::chrono::milliseconds timeout,
                                      std::size_t max_output_bytes);

}  // namespace vexodl::common
