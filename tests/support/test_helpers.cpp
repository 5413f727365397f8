#include "test_helpers.h"

#include <syslog.h>

namespace vexodl::fake {

bool IsErrorLine(const LogLine& line, const std::string& file, const std::string& text,
                 std::string* why) {
  if (line.priority != LOG_ERR) {
    *why = "priority is " + std::to_string(line.priority);
    return false;
  }
  const std::string prefix = file + ":";
  const std::string& got = line.text;
  if (got.compare(0, prefix.size(), prefix) != 0) {
    *why = "does not start with " + prefix;
    return false;
  }
  std::size_t end = prefix.size();
  while (end < got.size() && got[end] >= '0' && got[end] <= '9') ++end;
  if (end == prefix.size()) {
    *why = "has no line number";
    return false;
  }
  if (got.substr(end) != " " + text) {
    *why = "text after the line number differs";
    return false;
  }
  return true;
}

}  // namespace vexodl::fake
