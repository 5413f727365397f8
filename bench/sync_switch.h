#pragma once

namespace vexodl::bench {

// What this program's fsync(2), fdatasync(2) and syncfs(2) do. The program defines the three
// functions itself (sync_switch.cpp). A definition in the executable comes before the C library's
// for every shared library the program loads, so libvexodlvexohost's syncs and libsqlite3's go
// through them too: one process times the library's own code with its syncs, without them, and
// with another way of syncing an unpacked package.
enum class SyncMode {
  kReal,     // forwarded to the C library
  kSkipped,  // nothing done, success returned: the same work without its syncs
  // fsync and fdatasync forwarded; syncfs(fd) replaced by an fsync of every regular file and
  // folder below the folder open as `fd`, deepest first, and of that folder last.
  kPerFile,
};

// REQUIRES: no sync is running on another thread.
void SetSyncMode(SyncMode mode);

// Calls counted since the program started.
struct SyncCounts {
  long long fsyncs = 0;   // fsync and fdatasync that reached the C library, kPerFile's included
  long long syncfs = 0;   // syncfs that reached the C library
  long long skipped = 0;  // calls of any of the three that kSkipped dropped
};
SyncCounts CountedSyncs();

// The calls counted between `before` and `after`.
SyncCounts operator-(const SyncCounts& after, const SyncCounts& before);

// ScopedSyncMode sets a mode for its life, and kReal again when it ends.
class ScopedSyncMode {
 public:
  explicit ScopedSyncMode(SyncMode mode) { SetSyncMode(mode); }
  ~ScopedSyncMode() { SetSyncMode(SyncMode::kReal); }
  ScopedSyncMode(const ScopedSyncMode&) = delete;
  ScopedSyncMode& operator=(const ScopedSyncMode&) = delete;
};

}  // namespace vexodl::bench
