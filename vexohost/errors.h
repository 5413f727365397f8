#pragma once

#include <cstddef>
#include <string>

namespace vexodl::vexohost::internal {

// The codes that this library throws with vexodl::VexoError; docs/vexohost.md has the table.
// 2000-2099: the request; 2100-2199: the state directory and its files; 2200-2299: the account
// database; 2300-2499: installing, updating and verifying. 2500-2999 belong to the pyLoad client.
enum ErrorCode : int {
  kErrInvalidName = 2001,
  kErrUnknownHost = 2002,
  kErrBrokenManifest = 2003,
  kErrShippedHost = 2004,
  kErrStateDir = 2100,
  kErrFileSystem = 2101,
  kErrLockTimeout = 2102,
  kErrStateDirUnsafe = 2103,
  kErrDatabase = 2200,
  kErrDatabaseBusy = 2201,
  kErrDatabaseVersion = 2202,
  kErrDatabaseHotJournal = 2203,
  kErrPackageUnreadable = 2300,
  kErrPackageUnsafe = 2301,
  kErrPackageTooLarge = 2302,
  kErrPackageManifest = 2303,
  kErrPackageMismatch = 2304,
  kErrSetting = 2310,
  kErrUpdateFetch = 2400,
  kErrUpdateSignature = 2401,
  kErrUpdateIndex = 2402,
  kErrUpdateNotOffered = 2403,
  kErrUpdateDigest = 2404,
  kErrUpdateKey = 2406,
  kErrUpdateOlder = 2407,
  kErrUpdateExpired = 2408,
};

// Throws vexodl::VexoError(code, message). `message` says what failed and never holds a password.
[[noreturn]] void Fail(ErrorCode code, const std::string& message);

// Every failed system call of the store ends here: `error` (an errno value) becomes
// kErrFileSystem with the message "<operation> <path>: <the system's text for error>", the
// operation and path made Printable whole (a path may end in a package entry's name).
[[noreturn]] void FailSystem(const std::string& operation, const std::string& path, int error);

// The system's text for an errno value; thread-safe.
std::string SystemText(int error);

// `text` fit for a message: at most `max_bytes` of it, bytes outside printable ASCII (and quotes
// and backslashes) written as \xNN, so that a hostile name cannot forge lines in a log.
std::string Printable(const std::string& text, std::size_t max_bytes = 80);

// A path fit for a message: Printable, whole however long.
inline std::string PrintablePath(const std::string& path) {
  return Printable(path, std::string::npos);
}

}  // namespace vexodl::vexohost::internal
