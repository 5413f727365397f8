#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace vexodl::pyload::internal {

// RunProgram runs the executable at `program` with no arguments and the caller's environment,
// started with posix_spawn (no shell), in a process group of its own, with default signal
// handling, `input` on its standard input and standard error on /dev/null. It returns what the
// program wrote to its standard output when the program exited with status 0 within `timeout`.
// Returns nothing when the program cannot be started, outlives `timeout` (its process group is
// then killed), dies by a signal, exits with another status, or writes more than
// `max_output_bytes`. Every path reaps the child and closes every descriptor it opened; a
// program that stops reading its input raises no SIGPIPE in the caller.
//
// REQUIRES: SIGCHLD is not ignored by the calling process (the child's status would be lost,
// which reads as failure).
std::optional<std::string> RunProgram(const std::string& program, const std::string& input,
                                      std::chrono::milliseconds timeout,
                                      std::size_t max_output_bytes);

}  // namespace vexodl::pyload::internal
