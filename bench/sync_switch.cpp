#include "sync_switch.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace vexodl::bench {
namespace {

std::atomic<SyncMode> mode{SyncMode::kReal};
std::atomic<long long> fsyncs{0};
std::atomic<long long> syncfs_calls{0};
std::atomic<long long> skipped{0};

using SyncFunction = int (*)(int);

// The C library's definition of `name`: the next one after this program's in the lookup order.
SyncFunction Next(const char* name) {
  void* found = ::dlsym(RTLD_NEXT, name);
  if (found == nullptr) {
    std::fprintf(stderr, "sync_switch: no %s after this program's: %s\n", name, ::dlerror());
    std::abort();
  }
  return reinterpret_cast<SyncFunction>(found);
}

int RealFsync(int fd) {
  static const SyncFunction next = Next("fsync");
  ++fsyncs;
  return next(fd);
}

int RealFdatasync(int fd) {
  static const SyncFunction next = Next("fdatasync");
  ++fsyncs;
  return next(fd);
}

int RealSyncfs(int fd) {
  static const SyncFunction next = Next("syncfs");
  ++syncfs_calls;
  return next(fd);
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

// One fsync of every regular file and folder below the folder open as `folder`, each folder after
// what it holds, and of `folder` last. Links are not opened: their folder's entry is theirs.
int FsyncTree(int folder) {
  const int copy = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (copy < 0) return -1;
  const std::unique_ptr<DIR, DirCloser> dir(::fdopendir(copy));
  if (!dir) {
    ::close(copy);
    return -1;
  }
  while (const dirent* entry = ::readdir(dir.get())) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st {};
      if (::fstatat(copy, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
    }
    if (type != DT_DIR && type != DT_REG) continue;
    const int fd = ::openat(copy, entry->d_name,
                            O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (type == DT_DIR ? O_DIRECTORY : 0));
    if (fd < 0) return -1;
    const int synced = type == DT_DIR ? FsyncTree(fd) : RealFsync(fd);
    const int error = errno;
    ::close(fd);
    if (synced != 0) {
      errno = error;
      return -1;
    }
  }
  return RealFsync(folder);
}

}  // namespace

void SetSyncMode(SyncMode next) { mode = next; }

SyncCounts CountedSyncs() { return {fsyncs.load(), syncfs_calls.load(), skipped.load()}; }

SyncCounts operator-(const SyncCounts& after, const SyncCounts& before) {
  return {after.fsyncs - before.fsyncs, after.syncfs - before.syncfs,
          after.skipped - before.skipped};
}

}  // namespace vexodl::bench

// The program's own definitions of the three calls (sync_switch.h); syncfs is noexcept, as
// <unistd.h> declares it.
using vexodl::bench::SyncMode;

extern "C" int fsync(int fd) {
  if (vexodl::bench::mode == SyncMode::kSkipped) {
    ++vexodl::bench::skipped;
    return 0;
  }
  return vexodl::bench::RealFsync(fd);
}

extern "C" int fdatasync(int fd) {
  if (vexodl::bench::mode == SyncMode::kSkipped) {
    ++vexodl::bench::skipped;
    return 0;
  }
  return vexodl::bench::RealFdatasync(fd);
}

extern "C" int syncfs(int fd) noexcept {
  switch (vexodl::bench::mode.load()) {
    case SyncMode::kSkipped:
      ++vexodl::bench::skipped;
      return 0;
    case SyncMode::kPerFile:
      return vexodl::bench::FsyncTree(fd);
    case SyncMode::kReal:
      break;
  }
  return vexodl::bench::RealSyncfs(fd);
}
