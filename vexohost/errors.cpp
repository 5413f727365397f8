#include "errors.h"

#include <syslog.h>

#include <system_error>

#include "error/vexo_error.h"
#include "escape.h"

namespace vexodl::vexohost::internal {

void Fail(ErrorCode code, const std::string& message) { throw VexoError(code, message.c_str()); }

void FailSystem(const std::string& operation, const std::string& path, int error) {
  Fail(kErrFileSystem,
       Printable(operation + " " + path, std::string::npos) + ": " + SystemText(error));
}

std::string SystemText(int error) { return std::generic_category().message(error); }

std::string Printable(const std::string& text, std::size_t max_bytes) {
  return common::Escape(text, common::Notation::kQuoted, max_bytes);
}

void Report(int priority, const std::string& call, const std::string& host,
            const std::string& cause) {
  // Messages are Printable where they quote a name or a path, yet parts of them (a path from the
  // environment, a library's text) and a refused host name are not: the line is escaped whole.
  std::string line = common::Escape(call);
  if (!host.empty()) line += " " + common::Escape(host, common::Notation::kLine, 80);
  line += ": " + common::Escape(cause);
  syslog(priority, "vexohost: %s", line.c_str());
}

}  // namespace vexodl::vexohost::internal
