#pragma once

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace vexodl::cli {

// How much the tool says on standard error beside its one line per failure.
enum class Verbosity {
  kQuiet,    // --quiet: the failures alone, whatever the default comes to say
  kNormal,   // the failures alone
  kVerbose,  // --verbose: notes too, and a copy of each line that the library and the back-ends
             // log, in the order they were logged, each before the tool's line that follows it
};

// What a back-end's log line says of a failure: its cause in the back-end's own words, and
// whether the back-end found the other side absent (the pyLoad client's LOG_INFO lines: no pyLoad
// on that channel).
struct BackEndCause {
  std::string text;
  bool absent = false;
};

// Report writes all that the tool says on standard error, every line "vexodl-filehosting: ..."
// and escaped (Escape) there, once: one line per failure, notes with --verbose, and with
// --verbose the copies of the log (syslog_tap.h), which reach standard error no other way.
class Report {
 public:
  Report(Verbosity verbosity, std::ostream& err);

  // Where the log lines of a call about to be made will start, for Cause().
  std::size_t Mark() const;

  // The cause that the last line of a back-end logged from `mark` on gives for a failure: a line
  // of the pyLoad client ("pyload: <request>: <cause>"), or of the native service ("vexohost:
  // <call>[ <host>]: <cause> (error <code>)") about an error of `code`. Nothing when neither
  // logged one: a cause is never guessed.
  std::optional<BackEndCause> Cause(std::size_t mark, int code) const;

  // What the native service says it changed from `mark` on, one entry per line that it logged at
  // LOG_INFO ("vexohost: <call>[ <host>]: <change>"): "installed rapidbox 2.0 (was 1.0)",
  // "updated openmirror 0.9.2 -> 1.0", "openmirror 1.0 is up to date", "deleted openmirror".
  std::vector<std::string> Changes(std::size_t mark) const;

  // The line of an error that a call of the library threw, which for the library's own errors
  // carries no message: "error CODE: MESSAGE", else "error CODE: MEANING" with the code's meaning
  // (code_meanings.h) and ": CAUSE" when a back-end logged one since the report began.
  void Error(int code, const std::string& message);
  // The line of a back-end that a listing left out: "error CODE: <hosts> left out: MESSAGE", or
  // for the library's own code "error: <hosts> left out: " and `cause` (from Cause()), else the
  // code's meaning.
  void LeftOut(const std::string& hosts, int code, const std::string& message,
               const std::optional<BackEndCause>& cause);
  // "error: TEXT", for a failure without a code.
  void Failure(const std::string& text);
  // A command line, or a password, that the tool refuses: "TEXT".
  void Refused(const std::string& text);
  // "note: TEXT", with --verbose only.
  void Note(const std::string& text);

  // With --verbose, copies the lines logged since the last copy; every line above does it first.
  void CopyLog();

 private:
  void Line(const std::string& text);

  const Verbosity verbosity_;
  std::ostream& err_;
  const std::size_t first_;  // the first line logged while this report exists
  std::size_t copied_;       // the lines copied so far
};

}  // namespace vexodl::cli
