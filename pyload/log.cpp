#include "log.h"

#include <syslog.h>

#include <cstdio>

namespace vexodl::pyload::internal {

void LogError(const std::string& text) { syslog(LOG_ERR, "pyload: %s", text.c_str()); }

std::string Printable(const std::string& path) {
  std::string out;
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7e || byte == '\\') {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace vexodl::pyload::internal
