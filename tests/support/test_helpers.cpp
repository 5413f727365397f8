#include "test_helpers.h"

#include <syslog.h>
#include <fstream>

namespace vexodl::fake {

namespace {

std::string SourceLine(const std::string& file, long number) {
  std::ifstream in(std::string(VEXODL_FILEHOSTING_SOURCE_DIR) + "/" + file);
  std::string line;
  for (long i = 1; i <= number && std::getline(in, line); ++i) {
    if (i == number) return line;
  }
  return "";
}

}  // namespace

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
  const long number = std::stol(got.substr(prefix.size(), end - prefix.size()));
  const std::string source = SourceLine(file, number);
  if (source.find("syslog(LOG_ERR, \"%s:%d ") == std::string::npos) {
    *why = "line " + std::to_string(number) + " of " + file + " is not a syslog call: " + source;
    return false;
  }
  return true;
}

}  // namespace vexodl::fake
