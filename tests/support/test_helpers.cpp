#include "test_helpers.h"

#include <syslog.h>

namespace vexodl::fake {

bool IsErrorLine(const LogLine& line, const std::string& file, const std::string& text,
                 std::string* why) {
  const std::string prefix = file + ":";
  const std::size_t end = line.text.compare(0, prefix.size(), prefix) == 0
                              ? line.text.find_first_not_of("0123456789", prefix.size())
                              : prefix.size();
  if (line.priority == LOG_ERR && end != prefix.size() && end != std::string::npos &&
      line.text.substr(end) == " " + text) {
    return true;
  }
  *why = "priority " + std::to_string(line.priority) + ", text \"" + line.text + "\"";
  return false;
}

}  // namespace vexodl::fake
