#include "log.h"

#include <syslog.h>

#include <cstdio>

namespace vexodl::pyload::internal {

namespace {

// Plug-in names come from the caller, who may pass anything: a line stays a line.
constexpr std::size_t kMaxShownNameBytes = 80;

}  // namespace

void LogFailure(const char* method, const std::string& plugin, const ChannelFailure& failure) {
  std::string request = method;
  if (!plugin.empty()) {
    const bool cut = plugin.size() > kMaxShownNameBytes;
    request += " \"" + Printable(plugin.substr(0, kMaxShownNameBytes)) + (cut ? "...\"" : "\"");
  }
  syslog(failure.absent ? LOG_INFO : LOG_ERR, "pyload: %s: %s", request.c_str(),
         failure.cause.c_str());
}

std::string Printable(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7e || byte == '\\' || byte == '"') {
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
