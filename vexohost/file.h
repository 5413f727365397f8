#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "error/vexo_error.h"
#include "unique_fd.h"

namespace vexodl::vexohost::internal {

using common::UniqueFd;

// The file system as the store uses it. Every descriptor is opened with O_CLOEXEC, so that no
// program that the download manager starts inherits one; every failure goes through FailSystem.

enum class FileKind { kMissing, kDirectory, kOther };

// What `path` is, following symbolic links; kMissing when it or a parent does not exist.
FileKind KindOf(const std::string& path);

// The names in directory `path`, without "." and ".."; empty when the directory does not exist.
std::vector<std::string> ListDirectory(const std::string& path);

// Why ReadSmallFile could not read a file: kErrFileSystem with "<path> is larger than N bytes",
// "<path> is not a regular file" or "<path>: <the system's text>", and the errno value (EFBIG,
// EINVAL, ENOENT, ...) for a caller that answers one of them otherwise, or with another code.
class FileReadError : public VexoError {
 public:
  FileReadError(const std::string& path, int error, const std::string& why);
  int error() const { return error_; }

 private:
  int error_;
};

// The regular file `path`, when it holds at most `limit` bytes; throws FileReadError.
std::string ReadSmallFile(const std::string& path, std::size_t limit);

// Opens `path` for reading and writing, creating it with mode 0600 when it does not exist, and
// takes away every permission of group and others if it has any: the file guards secrets.
// Refuses a symbolic link, and a file of another user's (kErrStateDirUnsafe). For the store's
// flock(2) files only: see EnsurePrivateFile.
UniqueFd OpenPrivateFile(const std::string& path);

// What a caller of EnsurePrivateFile is about to do with the file.
enum class PrivateFileUse {
  kRead,    // read it: a file of another user's may be read, but is left as it is
  kChange,  // change it if it exists: it must belong to the effective user
  kCreate,  // the same, creating it first when it does not exist
};

// Makes sure that `path`, a file that holds secrets, is a regular file (not a symbolic link) that
// only its owner may read or write: creates it empty with mode 0600 when it does not exist and
// `use` is kCreate, and takes every permission of group and others away from an existing one of
// the effective user's (on a read-only disk its mode stays as it is). Throws kErrStateDirUnsafe
// when it belongs to another user and `use` is not kRead. Returns whether the file exists.
//
// It never opens the file for reading or writing, since closing such a descriptor releases every
// POSIX record lock that this process holds on the file (fcntl(2)), those of SQLite connections
// on other threads included; another process could then change the database while one of ours is
// changing it too.
bool EnsurePrivateFile(const std::string& path, PrivateFileUse use);

// Creates directory `path` (mode 0700) unless it exists. Refuses a symbolic link, and a directory
// of another user's (kErrStateDirUnsafe): the service writes into it. With `durable`, a folder it
// made is on disk when it returns: its parent is synced.
void MakeDirectory(const std::string& path, bool durable = true);

// rename(2).
void Rename(const std::string& from, const std::string& to);

// Writes all of `bytes` to `fd`, the file `path`; throws kErrFileSystem.
void WriteAll(int fd, std::string_view bytes, const std::string& path);

// Writes `bytes` into a new file in folder `staging` (ours alone) under a name that nobody could
// choose beforehand, ending in `suffix`, created with O_CREAT | O_EXCL | O_NOFOLLOW and mode
// `mode`, and syncs it. A file planted beforehand, or a link, can then never be written through.
// Returns the new file's path.
std::string WriteNewFile(const std::string& staging, const std::string& bytes, mode_t mode,
                         const std::string& suffix = "");

// Publishes `bytes` as the file `path`: WriteNewFile in `staging`, renamed to `path` in one step,
// and `path`'s folder synced, so that readers see the old file or the new one, whole, and the new
// one is on disk when this returns. REQUIRES: `staging` on the file system of `path`.
void PublishFile(const std::string& staging, const std::string& path, const std::string& bytes,
                 mode_t mode);

// fsync(2) of folder `path`, which makes the entries renamed into or out of it durable.
void SyncFolder(const std::string& path);

// syncfs(2) of the file system that holds `path`: every file and folder written there reaches the
// disk. One call instead of one fsync per file of a package (docs/benchmarks.md says what each
// costs).
void SyncFileSystem(const std::string& path);

// Removes `path` and all it holds; symbolic links are removed, never followed. A missing path is
// not an error.
void RemoveTree(const std::string& path);

}  // namespace vexodl::vexohost::internal
