#include "log.h"

#include <syslog.h>

#include "escape.h"

namespace vexodl::pyload::internal {

namespace {

// Plug-in names come from the caller, who may pass anything: a line stays a line.
constexpr std::size_t kMaxShownNameBytes = 80;

}  // namespace

void LogFailure(const char* method, const std::string& plugin, const ChannelFailure& failure) {
  std::string request = method;
  if (!plugin.empty()) {
    request += " \"" + common::Escape(plugin, common::Notation::kQuoted, kMaxShownNameBytes) + "\"";
  }
  syslog(failure.absent ? LOG_INFO : LOG_ERR, "pyload: %s: %s", request.c_str(),
         failure.cause.c_str());
}

std::string Printable(const std::string& text) {
  return common::Escape(text, common::Notation::kQuoted);
}

}  // namespace vexodl::pyload::internal
