#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vexodl::cli {

// A line that this process sent to syslog, formatted as syslog formats it.
struct LoggedLine {
  int priority;  // as given, facility bits included
  std::string text;
};

// The lines that this process has sent to syslog, from the `first`th (counting from 0) on, in the
// order they were sent. The tool's executable defines syslog(), vsyslog() and their fortified
// forms __syslog_chk() and __vsyslog_chk(), which take precedence over the C library's for every
// library the tool loads: each line still reaches the C library's vsyslog unchanged, and is kept
// here too, so that the tool can say on standard error what the library passes on only as a code.
// Thread-safe.
std::vector<LoggedLine> LoggedLines(std::size_t first = 0);

// How many lines LoggedLines() holds: where the lines of a call about to be made will start.
std::size_t LoggedLineCount();

// Forgets the lines kept so far.
void ForgetLoggedLines();

// Whether each line also reaches the C library's syslog, as it does unless a test says otherwise:
// the tests keep their lines out of the system's log.
void PassLoggedLinesOn(bool pass_on);

}  // namespace vexodl::cli
