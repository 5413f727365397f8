#include "errors.h"

#include <syslog.h>

#include <cstdio>
#include <system_error>

#include "error/vexo_error.h"

namespace vexodl::vexohost::internal {

void Fail(ErrorCode code, const std::string& message) { throw VexoError(code, message.c_str()); }

void FailSystem(const std::string& operation, const std::string& path, int error) {
  Fail(kErrFileSystem,
       Printable(operation + " " + path, std::string::npos) + ": " + SystemText(error));
}

std::string SystemText(int error) { return std::generic_category().message(error); }

namespace {

// `text` with every byte outside printable ASCII as \xNN, and quotes and backslashes too where
// `quotes` (for text that goes between quotes); at most `max_bytes` of it, then "...".
std::string Escaped(const std::string& text, std::size_t max_bytes, bool quotes) {
  std::string out;
  for (std::size_t i = 0; i < text.size() && i < max_bytes; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte > 0x7e || (quotes && (byte == '"' || byte == '\\'))) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    } else {
      out += static_cast<char>(byte);
    }
  }
  if (text.size() > max_bytes) out += "...";
  return out;
}

}  // namespace

std::string Printable(const std::string& text, std::size_t max_bytes) {
  return Escaped(text, max_bytes, /*quotes=*/true);
}

void Report(int priority, const std::string& call, const std::string& host,
            const std::string& cause) {
  // Messages are Printable where they quote a name or a path, yet parts of them (a path from the
  // environment, a library's text) and a refused host name are not: the line is escaped whole.
  std::string line = call;
  if (!host.empty()) line += " " + (host.size() > 80 ? host.substr(0, 80) + "..." : host);
  line += ": " + cause;
  syslog(priority, "vexohost: %s", Escaped(line, std::string::npos, /*quotes=*/false).c_str());
}

}  // namespace vexodl::vexohost::internal
