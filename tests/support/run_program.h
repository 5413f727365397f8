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

// Runs the program `argv[0]` (searched in PATH when it holds no "/") with the arguments `argv`
// through the service's process runner (common/program_runner.h): no shell, exactly `environment`
// ("NAME=VALUE" entries) as its environment, `input` on its standard input, both outputs kept
// apart, killed with all it started after `timeout`. Throws std::system_error when it cannot
// start.
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
