#pragma once

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

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
