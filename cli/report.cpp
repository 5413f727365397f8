#include "report.h"

#include <syslog.h>

#include <string_view>

#include "code_meanings.h"
#include "escape.h"
#include "syslog_tap.h"

namespace vexodl::cli {

namespace {

constexpr std::string_view kPyloadPrefix = "pyload: ";
constexpr std::string_view kNativePrefix = "vexohost: ";

bool StartsWith(std::string_view text, std::string_view start) {
  return text.substr(0, start.size()) == start;
}

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// What follows "<request>: " in a back-end's line, the prefix taken off: the request is a call or
// method, then maybe a name, which the pyLoad client quotes since it may hold ": " (a quote inside
// is escaped), and which the native service has checked before it gets so far as to fail for a
// cause that the library drops.
std::optional<std::string_view> AfterRequest(std::string_view line) {
  std::size_t from = 0;
  if (const std::size_t quote = line.find('"'); quote < line.find(": ")) {
    const std::size_t end = line.find('"', quote + 1);
    if (end == std::string_view::npos) return std::nullopt;
    from = end + 1;
  }
  const std::size_t separator = line.find(": ", from);
  if (separator == std::string_view::npos) return std::nullopt;
  return line.substr(separator + 2);
}

}  // namespace

Report::Report(Verbosity verbosity, std::ostream& err)
    : verbosity_(verbosity), err_(err), first_(LoggedLineCount()), copied_(first_) {}

std::size_t Report::Mark() const { return LoggedLineCount(); }

std::optional<BackEndCause> Report::Cause(std::size_t mark, int code) const {
  const std::vector<LoggedLine> lines = LoggedLines(mark);
  const std::string native_end = " (error " + std::to_string(code) + ")";
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
    const std::string_view text = line->text;
    const int level = LOG_PRI(line->priority);
    std::optional<std::string_view> cause;
    if (StartsWith(text, kPyloadPrefix) && (level == LOG_ERR || level == LOG_INFO)) {
      cause = AfterRequest(text.substr(kPyloadPrefix.size()));
    } else if (StartsWith(text, kNativePrefix) && level == LOG_ERR && EndsWith(text, native_end)) {
      cause = AfterRequest(text.substr(kNativePrefix.size(),
                                       text.size() - kNativePrefix.size() - native_end.size()));
    }
    if (cause && !cause->empty()) return BackEndCause{std::string(*cause), level == LOG_INFO};
  }
  return std::nullopt;
}

std::vector<std::string> Report::Changes(std::size_t mark) const {
  std::vector<std::string> changes;
  for (const LoggedLine& line : LoggedLines(mark)) {
    const std::string_view text = line.text;
    if (LOG_PRI(line.priority) != LOG_INFO || !StartsWith(text, kNativePrefix)) continue;
    if (const auto change = AfterRequest(text.substr(kNativePrefix.size()))) {
      changes.emplace_back(*change);
    }
  }
  return changes;
}

void Report::Error(int code, const std::string& message) {
  std::string text = "error " + std::to_string(code) + ": ";
  if (!message.empty()) {
    text += message;  // a back-end's message says what failed; the code's meaning adds nothing
  } else {
    text += MeaningOf(code);
    if (const std::optional<BackEndCause> cause = Cause(first_, code)) text += ": " + cause->text;
  }
  Line(text);
}

void Report::LeftOut(const std::string& hosts, int code, const std::string& message,
                     const std::optional<BackEndCause>& cause) {
  if (!message.empty()) {
    Line("error " + std::to_string(code) + ": " + hosts + " left out: " + message);
    return;
  }
  // The library's own code says only that the listing failed, as "left out" does.
  Line("error: " + hosts + " left out: " + (cause ? cause->text : MeaningOf(code)));
}

void Report::Failure(const std::string& text) { Line("error: " + text); }

void Report::Refused(const std::string& text) { Line(text); }

void Report::Note(const std::string& text) {
  if (verbosity_ == Verbosity::kVerbose) Line("note: " + text);
}

void Report::CopyLog() {
  const std::vector<LoggedLine> lines = LoggedLines(copied_);
  copied_ += lines.size();
  if (verbosity_ != Verbosity::kVerbose) return;
  for (const LoggedLine& line : lines)
    err_ << "vexodl-filehosting: " << common::Escape(line.text) << '\n';
}

void Report::Line(const std::string& text) {
  CopyLog();
  err_ << "vexodl-filehosting: " << common::Escape(text) << '\n';
}

}  // namespace vexodl::cli
