#pragma once

#include <string>

namespace vexodl::cli {

// The longest password the tool takes, in bytes.
constexpr std::size_t kMaxPasswordBytes = 4096;

// Both functions below make the process non-dumpable (PR_SET_DUMPABLE 0) before they read, for
// the rest of its life: no core dump, and no other process of the user (without CAP_SYS_PTRACE)
// may trace it or read its memory or environment, nor those of the processes it forks until they
// exec. It is not undone when the password is wiped: the library and the back-ends copy it (JSON
// values, the request to a verifier) and free the copies unwiped. Throws std::system_error when
// the state cannot be set.

// Reads the first line of standard input, without its line end ("\n" or "\r\n"). Throws
// UsageError when the line is longer than kMaxPasswordBytes, std::system_error when standard
// input cannot be read. End of input without a newline ends the line.
std::string ReadPasswordFromStdin();

// Writes `prompt` to standard error and reads one line from the terminal on standard input, with
// echo turned off; the terminal's settings are restored on every way out, SIGINT, SIGTERM, SIGHUP
// and SIGQUIT included. Throws UsageError when standard input is not a terminal.
std::string PromptForPassword(const std::string& prompt);

// Overwrites the bytes of `secret` before it is freed.
void Wipe(std::string& secret);

}  // namespace vexodl::cli
