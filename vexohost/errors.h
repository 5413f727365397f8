#pragma once

#include <cstddef>
#include <string>

#include "error/vexo_error.h"
#include "error_codes.h"

namespace vexodl::vexohost::internal {

// Throws vexodl::VexoError(code, message), `code` one of this library's (error_codes.h, made from
// common/error_codes.json). `message` says what failed and never holds a password.
[[noreturn]] void Fail(ErrorCode code, const std::string& message);

// The error of a change that was made but whose sync failed, with the code and message of that
// failure: a power cut may yet undo the change, or not. What went with the change must not be
// undone on its account (PluginStore::RemoveUserPlugin).
class NotDurableError : public VexoError {
 public:
  using VexoError::VexoError;
};

// Every failed system call of the store ends here: `error` (an errno value) becomes
// kErrFileSystem with the message "<operation> <path>: <the system's text for error>", the
// operation and path made Printable whole (a path may end in a package entry's name).
[[noreturn]] void FailSystem(const std::string& operation, const std::string& path, int error);

// The system's text for an errno value; thread-safe.
std::string SystemText(int error);

// `text` fit for a message, between quotes (common::Escape): at most `max_bytes` of it, so that a
// hostile name can neither forge lines in a log nor fill it.
std::string Printable(const std::string& text, std::size_t max_bytes = 80);

// A path fit for a message: Printable, whole however long.
inline std::string PrintablePath(const std::string& path) {
  return Printable(path, std::string::npos);
}

// Report writes the one syslog line by which the service says why a call failed, was refused or
// left something out, since libvexodlfilehosting passes on no more than a code for some of them,
// and what a change of the plug-in folders did, which it passes on not at all:
// "vexohost: <call>[ <host>]: <cause>", `host` cut at 80 bytes, and bytes outside printable ASCII
// written as \xNN, so that no name can forge a line. `priority` is LOG_ERR for a failure,
// LOG_WARNING for what a listing leaves out, LOG_INFO for what a change did ("installed rapidbox
// 2.0 (was 1.0)", whole: the tool prints it as it is). `cause` never holds a password, nor what a
// verifier wrote (it may echo its input).
void Report(int priority, const std::string& call, const std::string& host,
            const std::string& cause);

}  // namespace vexodl::vexohost::internal
