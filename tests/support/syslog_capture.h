#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace vexodl::fake {

// A line that the process sent to syslog, with its priority and formatted text.
struct LogLine {
  int priority;
  std::string text;
};

// libvexodltestsupport defines syslog() and its fortified forms (the tool's syslog tap), so every
// line that a process linked against it writes is kept here instead of reaching the system log.
std::vector<LogLine> SyslogLines();
void ClearSyslog();

// What SyslogLines() holds after a call that wrote one line.
inline std::vector<LogLine> OneLine(int priority, const std::string& text) {
  return {{priority, text}};
}

inline bool operator==(const LogLine& a, const LogLine& b) {
  return a.priority == b.priority && a.text == b.text;
}
void PrintTo(const LogLine& line, std::ostream* os);

}  // namespace vexodl::fake
