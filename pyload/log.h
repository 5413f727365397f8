#pragma once

#include <string>

namespace vexodl::pyload::internal {

// LogError writes "pyload: <text>" to syslog at LOG_ERR: the client's own word on what it
// refused to talk to, since its callers learn no more than that a call failed. `text` never holds
// a password, and paths in it are Printable.
void LogError(const std::string& text);

// `path` fit for a log line: bytes outside printable ASCII, and backslashes, written as \xNN, so
// that a path can neither forge a line nor pass for one written escaped.
std::string Printable(const std::string& path);

}  // namespace vexodl::pyload::internal
