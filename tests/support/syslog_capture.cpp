// Built without _FORTIFY_SOURCE: this file defines syslog itself, which the fortified headers
// would turn into a wrapper.
#include "syslog_capture.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace vexodl::fake {
namespace {

std::mutex& Mutex() {
  static std::mutex mu;
  return mu;
}

std::vector<LogLine>& Lines() {
  static std::vector<LogLine> lines;
  return lines;
}

void Capture(int priority, const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
  std::lock_guard<std::mutex> lock(Mutex());
  Lines().push_back(LogLine{priority, std::move(text)});
}

}  // namespace

std::vector<LogLine> SyslogLines() {
  std::lock_guard<std::mutex> lock(Mutex());
  return Lines();
}

void ClearSyslog() {
  std::lock_guard<std::mutex> lock(Mutex());
  Lines().clear();
}

void PrintTo(const LogLine& line, std::ostream* os) {
  *os << "<" << line.priority << "> " << line.text;
}

}  // namespace vexodl::fake

extern "C" {

__attribute__((visibility("default"))) void syslog(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vexodl::fake::Capture(priority, format, args);
  va_end(args);
}

__attribute__((visibility("default"))) void vsyslog(int priority, const char* format,
                                                    va_list args) {
  vexodl::fake::Capture(priority, format, args);
}

__attribute__((visibility("default"))) void __syslog_chk(int priority, int /*flag*/,
                                                         const char* format, ...) {
  va_list args;
  va_start(args, format);
  vexodl::fake::Capture(priority, format, args);
  va_end(args);
}

__attribute__((visibility("default"))) void __vsyslog_chk(int priority, int /*flag*/,
                                                          const char* format, va_list args) {
  vexodl::fake::Capture(priority, format, args);
}

}  // extern "C"
