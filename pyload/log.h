#pragma once

#include <string>

namespace vexodl::pyload::internal {

// ChannelFailure is why a channel brought no answer: `cause` for people
// ("/usr/lib/vexodl/pyload-cli exited with status 1"), paths in it Printable, never a password; and
// whether pyLoad is simply not there on that channel (no file at the socket's path or nothing
// listening on it; no file at the program's path), which is no fault of anyone's.
struct ChannelFailure {
  std::string cause;
  bool absent = false;
};

// LogFailure writes the one syslog line by which the client says why request `method` failed, since
// its callers learn no more than that it failed: "pyload: <method>: <cause>", or for a request
// about a plug-in "pyload: <method> \"<plugin>\": <cause>" with the plug-in's name Printable and
// cut at 80 bytes. LOG_INFO when pyLoad is absent on that channel, LOG_ERR otherwise.
void LogFailure(const char* method, const std::string& plugin, const ChannelFailure& failure);

// `text` fit to stand between quotes in a log line or a message (common::Escape), so that a name or
// a path can neither forge a line nor end the quotes it stands in.
std::string Printable(const std::string& text);

}  // namespace vexodl::pyload::internal
