// The tool's syslog tap, linked into this library, keeps every line; here it keeps them out of the
// system's log.
#include "syslog_capture.h"

#include "syslog_tap.h"

namespace vexodl::fake {
namespace {

const bool kKeptFromTheSystemLog = (cli::PassLoggedLinesOn(false), true);

}  // namespace

std::vector<LogLine> SyslogLines() {
  std::vector<LogLine> lines;
  for (const cli::LoggedLine& line : cli::LoggedLines())
    lines.push_back({line.priority, line.text});
  return lines;
}

void ClearSyslog() { cli::ForgetLoggedLines(); }

void PrintTo(const LogLine& line, std::ostream* os) {
  *os << "<" << line.priority << "> " << line.text;
}

}  // namespace vexodl::fake
