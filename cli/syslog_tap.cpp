// Built without _FORTIFY_SOURCE, and without <syslog.h>: this file defines syslog() itself, which
// the fortified header would declare as an inline wrapper of __syslog_chk().
#include "syslog_tap.h"

#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <utility>

namespace vexodl::cli {

namespace {

using VsyslogFunction = void (*)(int, const char*, va_list);
using VsyslogChkFunction = void (*)(int, int, const char*, va_list);

// The C library's own functions: the next definitions after the executable's. Calling ours by name
// from here would call this file again.
VsyslogFunction CVsyslog() {
  static const auto function = reinterpret_cast<VsyslogFunction>(dlsym(RTLD_NEXT, "vsyslog"));
  return function;
}

VsyslogChkFunction CVsyslogChk() {
  static const auto function =
      reinterpret_cast<VsyslogChkFunction>(dlsym(RTLD_NEXT, "__vsyslog_chk"));
  return function;
}

std::mutex& Mutex() {
  static std::mutex mutex;
  return mutex;
}

std::atomic<bool> pass_on{true};

std::vector<LoggedLine>& Lines() {
  static std::vector<LoggedLine> lines;
  return lines;
}

// Formats and keeps one line. `error` is errno as the caller left it, for a format's %m.
void Keep(int priority, const char* format, va_list args, int error) {
  va_list measure;
  va_copy(measure, args);
  errno = error;
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  errno = error;
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
  const std::lock_guard<std::mutex> lock(Mutex());
  Lines().push_back(LoggedLine{priority, std::move(text)});
}

// Keeps the line, then hands it on, errno as the caller left it.
void Tap(int priority, int flag, const char* format, va_list args, bool fortified) {
  const int error = errno;
  va_list kept;
  va_copy(kept, args);
  Keep(priority, format, kept, error);
  va_end(kept);
  errno = error;
  if (!pass_on.load()) return;
  if (const VsyslogChkFunction c_vsyslog_chk = fortified ? CVsyslogChk() : nullptr) {
    c_vsyslog_chk(priority, flag, format, args);
  } else if (const VsyslogFunction c_vsyslog = CVsyslog()) {
    c_vsyslog(priority, format, args);
  }
  errno = error;
}

}  // namespace

std::vector<LoggedLine> LoggedLines(std::size_t first) {
  const std::lock_guard<std::mutex> lock(Mutex());
  const std::vector<LoggedLine>& lines = Lines();
  if (first >= lines.size()) return {};
  return std::vector<LoggedLine>(lines.begin() + static_cast<std::ptrdiff_t>(first), lines.end());
}

std::size_t LoggedLineCount() {
  const std::lock_guard<std::mutex> lock(Mutex());
  return Lines().size();
}

void ForgetLoggedLines() {
  const std::lock_guard<std::mutex> lock(Mutex());
  Lines().clear();
}

void PassLoggedLinesOn(bool on) { pass_on.store(on); }

}  // namespace vexodl::cli

// The executable exports these four (cli/CMakeLists.txt), so that the dynamic linker binds every
// library's calls to them, whether a library was built fortified or not; the tests' support
// library, which links this file too, exports them as a shared library does.
extern "C" {

__attribute__((visibility("default"))) void syslog(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vexodl::cli::Tap(priority, 0, format, args, /*fortified=*/false);
  va_end(args);
}

__attribute__((visibility("default"))) void vsyslog(int priority, const char* format,
                                                    va_list args) {
  vexodl::cli::Tap(priority, 0, format, args, /*fortified=*/false);
}

__attribute__((visibility("default"))) void __syslog_chk(int priority, int flag, const char* format,
                                                         ...) {
  va_list args;
  va_start(args, format);
  vexodl::cli::Tap(priority, flag, format, args, /*fortified=*/true);
  va_end(args);
}

__attribute__((visibility("default"))) void __vsyslog_chk(int priority, int flag,
                                                          const char* format, va_list args) {
  vexodl::cli::Tap(priority, flag, format, args, /*fortified=*/true);
}

}  // extern "C"
