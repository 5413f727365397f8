#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace vexodl::common {

// How a program run by RunProgramFully ended.
struct ProgramRun {
  enum class End {
    kExited,         // it exited on its own; `exit_status` holds its status
    kNotStarted,     // it could not be started (missing, not executable, no resources)
    kTimedOut,       // it outlived the timeout; its process group was killed
    kKilled,         // it died by signal `signal`
    kTooMuchOutput,  // it wrote more than the cap; its process group was killed
  };
  End end = End::kNotStarted;
  int exit_status = 0;
  int signal = 0;
  std::string output;  // what it wrote to its standard output, whole only when kExited
};

// RunProgramFully runs the executable at `program` with no arguments and the caller's
// environment, started with posix_spawn (no shell), in a process group of its own, with default
// signal handling, `input` on its standard input and standard error on /dev/null, and says how it
// ended. Every path reaps the child and closes every descriptor it opened; a program that stops
// reading its input raises no SIGPIPE in the caller. Secrets belong in `input`: argv and the
// environment of a process can be read by other users.
//
// REQUIRES: SIGCHLD is not ignored by the calling process (the child's status would be lost,
// which reads as kKilled with signal 0).
ProgramRun RunProgramFully(const std::string& program, const std::string& input,
                           std::chrono::milliseconds timeout, std::size_t max_output_bytes);

// RunProgram is RunProgramFully for callers that only take a clean answer: the program's output
// when it exited with status 0 within `timeout`, nothing otherwise.
std::optional<std::string> RunProgram(const std::string& program, const std::string& input,
                                      std::chrono::milliseconds timeout,
                                      std::size_t max_output_bytes);

}  // namespace vexodl::common
