#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "unique_fd.h"

namespace vexodl::fake {

// How a program run ended and what it wrote.
struct ProgramResult {
  int exit_status = -1;  // -1 when it did not exit (killed by a signal)
  int signal = 0;        // the signal that ended it, or 0
  bool timed_out = false;
  std::string out;
  std::string err;
};

void PrintTo(const ProgramResult& result, std::ostream* os);

// StartedProgram is the one way tests start a program: `argv[0]` (searched in PATH when it holds
// no "/") with the arguments `argv`, through posix_spawn (no shell, default signal dispositions,
// an empty signal mask), with exactly `environment` ("NAME=VALUE" entries) as its environment,
// pipes on its standard output and error, and on its standard input a pipe, or `input_fd` where
// one is given (a terminal, /dev/null). Destroying it kills (SIGKILL) and reaps the program unless
// Finish reaped it. Throws std::system_error when it cannot start.
class StartedProgram {
 public:
  StartedProgram(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                 int input_fd = -1);
  ~StartedProgram();
  StartedProgram(const StartedProgram&) = delete;
  StartedProgram& operator=(const StartedProgram&) = delete;

  pid_t pid() const { return pid_; }
  // Writes all of `text` to its standard input; false when it no longer reads.
  bool Write(const std::string& text);
  void CloseInput() { input_.Reset(); }
  // The next line of its standard output, without the line break; nullopt at the output's end or
  // when `timeout` passes first.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
  // Writes `input` and closes its standard input, reads both outputs to their ends, reaps it and
  // says how it ended. After `timeout` it is killed with SIGKILL, and 5 s later its outputs are no
  // longer read, whoever still holds them open.
  ProgramResult Finish(const std::string& input = "",
                       std::chrono::milliseconds timeout = std::chrono::seconds(60));

 private:
  pid_t pid_ = -1;
  common::UniqueFd input_;
  common::UniqueFd output_;
  common::UniqueFd error_;
  std::string pending_;  // read from the output but not yet returned by ReadLine
};

// Runs the program `argv[0]` with the arguments `argv` through posix_spawn (no shell, default
// signal dispositions, an empty signal mask), with exactly `environment` ("NAME=VALUE" entries) as
// its environment, `input` on its standard input (closed after it), and returns its exit status
// and both outputs once it has ended. After `timeout` it is killed with SIGKILL, and 5 s later its
// outputs are no longer read, whoever still holds them open. Every descriptor
// is closed and the child reaped on every path. Throws std::system_error when it cannot start.
ProgramResult RunProgram(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment, const std::string& input,
                         std::chrono::milliseconds timeout = std::chrono::seconds(60));

// This process's environment, as "NAME=VALUE" entries.
std::vector<std::string> CurrentEnvironment();

// Whether this process can start a program built for its own architecture. A test program of a
// cross build runs under user-mode emulation, and its children of the same architecture start only
// when the kernel knows to hand them to the emulator (binfmt_misc; scripts/register-qemu-arm.sh).
// Tries by running this very program (a GoogleTest program, asked to list no test); says why not
// into `why`.
bool CanStartTargetPrograms(std::string* why);

}  // namespace vexodl::fake
