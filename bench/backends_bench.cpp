// Our own back-ends against the least work their jobs need: the native store's listing against
// reading and parsing the same manifests, its account change against one bare SQLite transaction,
// its install and update against GNU tar's extract, `sync -f` and a rename, and against their own
// work without syncs, and the pyLoad channels against a bare socket exchange and a reaped and a
// bare spawn of the same program.
// The store lives in a new folder under $TMPDIR (or /tmp), or /dev/shm; docs/benchmarks.md
// explains the design. This program defines fsync, fdatasync and syncfs itself (sync_switch.h).
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <sodium.h>
#include <spawn.h>
#include <sqlite3.h>
#include <stdio.h>  // renameat2
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <json/reader.h>
#include <json/value.h>

#include "outside/pyload.h"
#include "outside/vexohost.h"
#include "paired.h"
#include "sync_switch.h"
#include "temp_dir.h"
#include "unique_fd.h"

extern char** environ;

namespace vexodl::bench {
namespace {

using common::UniqueFd;

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  if (!file.flush()) Fail("write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool WriteAll(int fd, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::write(fd, data.data() + sent, data.size() - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadToEnd(int fd, std::string* out) {
  char buffer[16 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    out->append(buffer, static_cast<std::size_t>(n));
  }
}

// What kind of file system holds `path`: the store's costs depend on it.
std::string FileSystemOf(const std::string& path) {
  struct statfs info {};
  if (::statfs(path.c_str(), &info) != 0) return "unknown";
  if (info.f_type == TMPFS_MAGIC) return "tmpfs";
  char hex[32];
  std::snprintf(hex, sizeof hex, "fs-0x%lx", static_cast<unsigned long>(info.f_type));
  return info.f_type == EXT4_SUPER_MAGIC ? "ext4" : hex;
}

// ---- The native store ---------------------------------------------------------------------------

constexpr int kPlugins = 1000;

std::string PluginName(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "plug-%04d", i);
  return name;
}

// A new folder in `parent`; nullptr for $TMPDIR or /tmp.
std::unique_ptr<fake::TempDir> MakeTempDir(const char* parent) {
  if (parent == nullptr) return std::make_unique<fake::TempDir>();
  const char* saved = std::getenv("TMPDIR");
  const std::string previous = saved != nullptr ? saved : "";
  ::setenv("TMPDIR", parent, 1);
  auto dir = std::make_unique<fake::TempDir>();
  if (saved != nullptr) {
    ::setenv("TMPDIR", previous.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  return dir;
}

// A state directory with `plugins` installed plug-ins in user/, accounts for every tenth and an
// enabled state for every seventh, as a store in use has. The service is pointed at it.
class Store {
 public:
  // `parent` names the folder to make the state directory in; nullptr for $TMPDIR or /tmp.
  Store(int plugins, const char* parent) : dir_(MakeTempDir(parent)) {
    ::mkdir((*dir_ / "shipped").c_str(), 0700);
    ::mkdir((*dir_ / "user").c_str(), 0700);
    for (int i = 0; i < plugins; ++i) {
      const std::string name = PluginName(i);
      const std::string folder = *dir_ / ("user/" + name);
      if (::mkdir(folder.c_str(), 0700) != 0) Fail("mkdir " + folder);
      WriteFile(folder + "/manifest.json",
                "{\n  \"format\": 1,\n  \"name\": \"" + name +
                    "\",\n  \"description\": \"Plug-in " + name +
                    "; premium accounts lift the speed limit\",\n  \"version\": \"2." +
                    std::to_string(i % 10) + ".1\",\n  \"authentication\": \"" +
                    (i % 3 == 0 ? "no" : "yes") + "\"\n}\n");
    }
    ::setenv("VEXODL_VEXOHOST_STATE_DIR", dir_->path().c_str(), 1);
    for (int i = 0; i < plugins; i += 10) {
      vexohost::Handler(PluginName(i)).AccountSet("user" + std::to_string(i), "secret");
    }
    for (int i = 0; i < plugins; i += 7) vexohost::Handler(PluginName(i)).HostEnabledSet(false);
  }

  std::string root() const { return dir_->path(); }
  std::string user() const { return *dir_ / "user"; }
  std::string database() const { return *dir_ / "accounts.db"; }
  std::string file_system() const { return FileSystemOf(dir_->path()); }

 private:
  std::unique_ptr<fake::TempDir> dir_;
};

// The bare loop: every folder of user/, its manifest read whole and parsed by JsonCpp.
void ReadManifests(const std::string& user, Json::CharReader& reader,
                   std::vector<Json::Value>* out) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(user.c_str()), ::closedir);
  if (!dir) Fail("opendir " + user);
  std::string text;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (entry->d_name[0] == '.') continue;
    const std::string path = user + "/" + entry->d_name + "/manifest.json";
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    text.clear();
    if (!fd.valid() || !ReadToEnd(fd.get(), &text)) Fail("read " + path);
    Json::Value manifest;
    if (!reader.parse(text.data(), text.data() + text.size(), &manifest, nullptr)) {
      Fail("parse " + path);
    }
    out->push_back(std::move(manifest));
  }
}

// Whether the service's listing names exactly the parsed manifests, with their texts.
bool SameHosts(const Json::Value& listing, std::vector<Json::Value> manifests) {
  if (listing.size() != manifests.size()) return false;
  std::sort(manifests.begin(), manifests.end(), [](const Json::Value& a, const Json::Value& b) {
    return a["name"].asString() < b["name"].asString();
  });
  for (Json::ArrayIndex i = 0; i < listing.size(); ++i) {
    for (const char* key : {"name", "description", "version"}) {
      if (listing[i][key] != manifests[i][key]) return false;
    }
  }
  return true;
}

void BM_StoreList(benchmark::State& state) {
  const Store store(kPlugins, nullptr);
  state.SetLabel(store.file_system());
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  {
    Json::Value listing;
    vexohost::Handler("").List(listing);
    std::vector<Json::Value> manifests;
    ReadManifests(store.user(), *reader, &manifests);
    if (manifests.size() != kPlugins || !SameHosts(listing, std::move(manifests))) {
      return FailCheck(state, "the listing and the manifests differ");
    }
  }
  constexpr int kBatch = 1;
  Json::Value listing;
  std::vector<Json::Value> manifests;
  manifests.reserve(kPlugins);
  RunPaired(state, Timing::kWall, kBatch,
            {[&](int) { vexohost::Handler("").List(listing); },
             [&](int) { ReadManifests(store.user(), *reader, &manifests); },
             [&] {
               Json::Value().swap(listing);
               manifests.clear();
             }});
}
BENCHMARK(BM_StoreList)->UseManualTime()->Unit(benchmark::kMicrosecond);

const char kAccountHost[] = "plug-0500";

// The least an independent account change must do: open the database, one transaction with the
// same write, close.
void BareAccountTransaction(const std::string& path, const std::string& host,
                            const std::string& username, const std::string& password) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    throw std::runtime_error("open " + path);
  }
  const std::unique_ptr<sqlite3, int (*)(sqlite3*)> owner(db, sqlite3_close);
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db,
                         "INSERT INTO hosts(name, username, password) VALUES (?1, ?2, ?3)"
                         " ON CONFLICT(name) DO UPDATE SET username = excluded.username,"
                         " password = excluded.password",
                         -1, &raw, nullptr) != SQLITE_OK) {
    throw std::runtime_error(sqlite3_errmsg(db));
  }
  const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, sqlite3_finalize);
  sqlite3_bind_text(raw, 1, host.data(), static_cast<int>(host.size()), SQLITE_STATIC);
  sqlite3_bind_text(raw, 2, username.data(), static_cast<int>(username.size()), SQLITE_STATIC);
  sqlite3_bind_text(raw, 3, password.data(), static_cast<int>(password.size()), SQLITE_STATIC);
  if (sqlite3_step(raw) != SQLITE_DONE ||
      sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    throw std::runtime_error(sqlite3_errmsg(db));
  }
}

// The stored user name and password of `host`.
std::string StoredAccount(const std::string& path, const std::string& host) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  const std::unique_ptr<sqlite3, int (*)(sqlite3*)> owner(db, sqlite3_close);
  sqlite3_stmt* raw = nullptr;
  sqlite3_prepare_v2(db, "SELECT username || ':' || password FROM hosts WHERE name = ?1", -1, &raw,
                     nullptr);
  const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, sqlite3_finalize);
  sqlite3_bind_text(raw, 1, host.c_str(), -1, SQLITE_STATIC);
  if (sqlite3_step(raw) != SQLITE_ROW) return "";
  return reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
}

// Arg 0: the state directory under $TMPDIR (or /tmp), as the store's disk would hold it; arg 1:
// under /dev/shm, where writing costs next to nothing and the per-call work shows.
void BM_AccountSet(benchmark::State& state) {
  const Store store(kPlugins, state.range(0) == 0 ? nullptr : "/dev/shm");
  state.SetLabel(store.file_system());
  const std::string db = store.database();
  SyncCounts counts = CountedSyncs();
  vexohost::Handler(kAccountHost).AccountSet("library", "1");
  const SyncCounts library_syncs = CountedSyncs() - counts;
  if (StoredAccount(db, kAccountHost) != "library:1") {
    return FailCheck(state, "the service did not store the account");
  }
  counts = CountedSyncs();
  BareAccountTransaction(db, kAccountHost, "baseline", "2");
  const SyncCounts baseline_syncs = CountedSyncs() - counts;
  if (StoredAccount(db, kAccountHost) != "baseline:2") {
    return FailCheck(state, "the bare transaction did not store the account");
  }
  // The syncs of one change on each side: on a disk, most of its time.
  state.counters["library_fsyncs"] = static_cast<double>(library_syncs.fsyncs);
  state.counters["baseline_fsyncs"] = static_cast<double>(baseline_syncs.fsyncs);
  // Every call stores another password: SQLite writes nothing for a row that stays the same.
  constexpr int kBatch = 4;
  std::vector<std::string> passwords;
  for (int i = 0; i < 2 * kBatch; ++i) passwords.push_back("s3cret-" + std::to_string(i));
  const std::string username = "alice";
  RunPaired(
      state, Timing::kWall, kBatch,
      {[&](int i) { vexohost::Handler(kAccountHost).AccountSet(username, passwords[i]); },
       [&](int i) { BareAccountTransaction(db, kAccountHost, username, passwords[kBatch + i]); }});
  vexohost::Handler(kAccountHost).AccountSet(username, passwords[0]);
  if (StoredAccount(db, kAccountHost) != username + ":" + passwords[0]) {
    FailCheck(state, "the service's last account change was not stored");
  }
}
BENCHMARK(BM_AccountSet)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

// ---- Installs and updates -----------------------------------------------------------------------

// The plug-in that the install and update rows put into the store, and the versions they use.
const char kPackagedHost[] = "bench-package";
const char kOldVersion[] = "1.0";
const char kNewVersion[] = "2.0";

// Runs `argv` (argv[0] a path; no shell) with standard input and output on /dev/null, and waits
// for it. Throws unless it exits with status 0.
void RunProgram(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int error = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    errno = error;
    Fail("spawn " + argv[0]);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(argv[0] + " did not exit with status 0");
  }
}

// fsync(2) of folder `path`, or syncfs(2) of its file system.
void SyncFolder(const std::string& path, bool whole_file_system = false) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid() || (whole_file_system ? ::syncfs(fd.get()) : ::fsync(fd.get())) != 0) {
    Fail("sync " + path);
  }
}

void Rename(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) Fail("rename " + from + " to " + to);
}

void RemoveTree(const std::string& path) {
  std::error_code error;
  std::filesystem::remove_all(path, error);
  if (error) throw std::system_error(error, "remove " + path);
}

// What the tree below `root` holds: "path folder", "path link target" or "path file bytes" per
// entry, sorted; "<missing>" when there is none.
std::string TreeListing(const std::string& root) {
  namespace fs = std::filesystem;
  if (!fs::exists(root)) return "<missing>";
  std::vector<std::string> lines;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    const std::string path = fs::relative(entry.path(), root).string();
    if (entry.is_symlink()) {
      lines.push_back(path + " link " + fs::read_symlink(entry.path()).string());
    } else if (entry.is_directory()) {
      lines.push_back(path + " folder");
    } else {
      lines.push_back(path + " file " + ReadFile(entry.path().string()));
    }
  }
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

std::string ManifestText(const std::string& version) {
  return std::string("{\"format\": 1, \"name\": \"") + kPackagedHost +
         "\", \"description\": \"A plug-in that the benchmarks install\", \"version\": \"" +
         version + "\", \"authentication\": \"no\"}\n";
}

// `bytes` bytes of text, the same for the same `seed`: letters, digits, blanks and line ends at
// random, which compress about as well as a plug-in's scripts.
std::string FileText(std::size_t bytes, unsigned seed) {
  static const char kAlphabet[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 \n";
  std::string text(bytes, ' ');
  std::uint32_t state = seed * 2654435761u + 1;
  for (char& c : text) {
    state = state * 1664525u + 1013904223u;
    c = kAlphabet[state >> 26];
  }
  return text;
}

// A package of plug-in kPackagedHost at kNewVersion: `files` files, its manifest at the top and
// the others, of `bytes` bytes each, in `folders` folders; a .tar.gz that GNU tar makes of it. Made
// in /dev/shm, where the files cost little to write and to remove; where the package lies matters
// not, since every read of it comes from the page cache.
class Package {
 public:
  Package(int files, int folders, std::size_t bytes) : dir_(MakeTempDir("/dev/shm")) {
    const std::string tree = *dir_ / "tree";
    if (::mkdir(tree.c_str(), 0755) != 0) Fail("mkdir " + tree);
    WriteFile(tree + "/manifest.json", ManifestText(kNewVersion));
    for (int folder = 0; folder < folders; ++folder) {
      const std::string path = tree + "/part-" + std::to_string(folder);
      if (::mkdir(path.c_str(), 0755) != 0) Fail("mkdir " + path);
    }
    for (int file = 1; file < files; ++file) {
      WriteFile(tree + "/part-" + std::to_string(file % folders) + "/file-" + std::to_string(file) +
                    ".py",
                FileText(bytes, static_cast<unsigned>(file)));
    }
    listing_ = TreeListing(tree);
    path_ = *dir_ / (std::to_string(files) + ".tar.gz");
    RunProgram({"/bin/tar", "-czf", path_, "-C", tree, "."});
    RemoveTree(tree);
    entries_ = files + folders + 1;  // and the package's own folder, "./"
  }

  // The .tar.gz.
  const std::string& path() const { return path_; }
  // TreeListing of what it unpacks to.
  const std::string& listing() const { return listing_; }
  // Its files and folders, the package's own folder included.
  int entries() const { return entries_; }

 private:
  std::unique_ptr<fake::TempDir> dir_;
  std::string path_;
  std::string listing_;
  int entries_ = 0;
};

// The package of the rows of `files` files, made once per program: 200 files of 2 MB in all
// (10,540 bytes each but the manifest, in 4 folders), or 4,000 small files (256 bytes, in 8
// folders), 4,009 entries with their folders and the package's own: under the limit of 4,096.
const Package& PackageOf(int files) {
  static std::map<int, std::unique_ptr<Package>> made;
  std::unique_ptr<Package>& package = made[files];
  if (!package) {
    package = files <= 200 ? std::make_unique<Package>(files, 4, 10540)
                           : std::make_unique<Package>(files, 8, 256);
  }
  return *package;
}

// How the library side of a row syncs an unpacked package.
enum class Strategy {
  kSyncFs,   // as the library does: one syncfs(2)
  kPerFile,  // one fsync(2) per file and folder instead (sync_switch.h)
};

// Where a baseline installs: a folder beside the store, on its file system, with the store's
// staging/ and user/.
class BaselineStore {
 public:
  explicit BaselineStore(const char* parent) : dir_(MakeTempDir(parent)) {
    for (const std::string& folder : {staging(), user()}) {
      if (::mkdir(folder.c_str(), 0755) != 0) Fail("mkdir " + folder);
    }
  }
  std::string root() const { return dir_->path(); }
  std::string staging() const { return *dir_ / "staging"; }
  std::string user() const { return *dir_ / "user"; }

 private:
  std::unique_ptr<fake::TempDir> dir_;
};

// The least an install that survives a power cut needs, done with GNU tar: the package extracted
// into a new folder beside user/, `sync -f` on it (syncfs(2), as the library), the folder renamed
// into user/ and user/ synced, which makes the rename durable. An older copy in user/ is swapped
// out in the same rename (RENAME_EXCHANGE) and removed.
void TarInstall(const std::string& package, const BaselineStore& store) {
  const std::string unpacked = store.staging() + "/unpacked";
  const std::string target = store.user() + "/" + kPackagedHost;
  if (::mkdir(unpacked.c_str(), 0755) != 0) Fail("mkdir " + unpacked);
  RunProgram({"/bin/tar", "-xzf", package, "-C", unpacked});
  RunProgram({"/bin/sync", "-f", unpacked});
  struct stat st {};
  if (::lstat(target.c_str(), &st) != 0) {
    Rename(unpacked, target);
  } else if (::renameat2(AT_FDCWD, unpacked.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) !=
             0) {
    Fail("exchange " + unpacked + " and " + target);
  }
  SyncFolder(store.user());
  RemoveTree(unpacked);
}

// Checks `counts`, the syncs of one library call with `strategy`, or without syncs when `skipped`:
// they must have gone through this program's fsync and syncfs, or the rows would measure nothing;
// the other strategy's fsyncs at least one for each of the package's `entries`. Empty when they
// did, else what is wrong.
std::string CheckSyncs(const SyncCounts& counts, Strategy strategy, bool skipped, int entries) {
  if (skipped) {
    return counts.fsyncs == 0 && counts.syncfs == 0 && counts.skipped > 0
               ? ""
               : "the call without syncs synced, or made no sync for this program to skip";
  }
  if (strategy == Strategy::kSyncFs) {
    return counts.syncfs == 1 && counts.fsyncs > 0
               ? ""
               : "the library's syncs did not reach this program's syncfs and fsync";
  }
  return counts.syncfs == 0 && counts.fsyncs >= entries
             ? ""
             : "the library's syncfs was not replaced by an fsync of every file and folder";
}

// Writes `megabytes` MB into a new file `path` and leaves them for the kernel to write back when
// it will: what a download writing to the store's file system leaves pending.
void WritePending(const std::string& path, int megabytes) {
  ::unlink(path.c_str());
  const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  const std::string block = FileText(1 << 20, 0);
  for (int i = 0; i < megabytes; ++i) {
    if (!fd.valid() || !WriteAll(fd.get(), block)) Fail("write " + path);
  }
}

// Arg 0: the package's files (200 or 4,000); arg 1: the store under $TMPDIR (or /tmp) as the
// store's disk would hold it, or under /dev/shm (tmpfs); arg 2: the library's syncfs, or one fsync
// per file and folder instead (Strategy); arg 3: MB of other writes pending on the file system
// when each call starts (WritePending). Baselines: TarInstall, and the same install without syncs
// ("nosync").
void BM_HostAdd(benchmark::State& state) {
  const Package& package = PackageOf(static_cast<int>(state.range(0)));
  const char* parent = state.range(1) == 0 ? nullptr : "/dev/shm";
  const Strategy strategy = state.range(2) == 0 ? Strategy::kSyncFs : Strategy::kPerFile;
  const int pending_mb = static_cast<int>(state.range(3));
  const Store store(0, parent);
  const BaselineStore baseline(parent);
  state.SetLabel(store.file_system() +
                 (strategy == Strategy::kSyncFs ? ", syncfs" : ", fsync per file") +
                 (pending_mb == 0 ? "" : ", " + std::to_string(pending_mb) + " MB pending"));
  const std::string installed = store.user() + "/" + kPackagedHost;
  const SyncMode synced_mode = strategy == Strategy::kSyncFs ? SyncMode::kReal : SyncMode::kPerFile;
  const auto install = [&](SyncMode mode) {
    const ScopedSyncMode scoped(mode);
    vexohost::Handler("").HostAdd(package.path());
  };
  // Each side starts from the same store, with nothing of another side's left to write, and the
  // same other writes pending.
  const auto between = [&] {
    RemoveTree(installed);
    RemoveTree(baseline.user() + "/" + kPackagedHost);
    ::unlink((baseline.root() + "/pending").c_str());
    SyncFolder(store.root(), /*whole_file_system=*/true);
    if (pending_mb > 0) WritePending(baseline.root() + "/pending", pending_mb);
  };
  SyncCounts counts = CountedSyncs();
  install(synced_mode);
  const SyncCounts library_syncs = CountedSyncs() - counts;
  std::string wrong = CheckSyncs(library_syncs, strategy, false, package.entries());
  if (wrong.empty() && TreeListing(installed) != package.listing()) {
    wrong = "the library did not install the package's files";
  }
  between();
  counts = CountedSyncs();
  install(SyncMode::kSkipped);
  if (wrong.empty()) wrong = CheckSyncs(CountedSyncs() - counts, strategy, true, 0);
  if (wrong.empty() && TreeListing(installed) != package.listing()) {
    wrong = "the install without syncs did not install the package's files";
  }
  between();
  TarInstall(package.path(), baseline);
  if (wrong.empty() && TreeListing(baseline.user() + "/" + kPackagedHost) != package.listing()) {
    wrong = "tar did not extract the package's files";
  }
  between();
  if (!wrong.empty()) return FailCheck(state, wrong);

  Paired paired{[&](int) { install(synced_mode); },
                [&](int) { TarInstall(package.path(), baseline); }, between};
  paired.second_baseline = [&](int) { install(SyncMode::kSkipped); };
  paired.second_name = "nosync";
  RunPaired(state, Timing::kWall, 1, paired);
  state.counters["fsyncs"] = static_cast<double>(library_syncs.fsyncs);
  state.counters["syncfs"] = static_cast<double>(library_syncs.syncfs);
}
// A call takes a fraction of a second: as many iterations as --benchmark_min_time asks for.
BENCHMARK(BM_HostAdd)
    ->Args({200, 0, 0, 0})
    ->Args({200, 1, 0, 0})
    ->Args({200, 1, 1, 0})
    ->Args({4000, 1, 0, 0})
    ->Args({4000, 1, 1, 0})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
// A call takes seconds on a disk (each of 4,000 files costs its creation, and its removal between
// calls; each fsync a journal commit; each call with other writes pending, and the syncfs between
// calls, writing them): two iterations, one in each order. scripts/bench.sh leaves these out in
// quick mode.
BENCHMARK(BM_HostAdd)
    ->Args({200, 0, 1, 0})
    ->Args({4000, 0, 0, 0})
    ->Args({4000, 0, 1, 0})
    ->Args({200, 0, 0, 256})
    ->Args({200, 0, 1, 256})
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

std::string Hex(const unsigned char* bytes, std::size_t size) {
  std::string hex(2 * size + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), bytes, size);
  hex.pop_back();
  return hex;
}

std::string Sha256Hex(const std::string& bytes) {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return Hex(digest, sizeof digest);
}

// An update server's tree in a folder, served as file://: index.json offering kNewVersion of
// kPackagedHost in `package`, copied beside it, and index.json.sig, signed by a key of its own
// that the service is told to trust.
class Mirror {
 public:
  Mirror(const Package& package, const char* parent) : dir_(MakeTempDir(parent)) {
    if (sodium_init() < 0) throw std::runtime_error("sodium_init failed");
    crypto_sign_keypair(public_key_, secret_key_);
    package_ = *dir_ / "package.tar.gz";
    const std::string bytes = ReadFile(package.path());
    WriteFile(package_, bytes);
    sha256_ = Sha256Hex(bytes);
    index_ = std::string("{\"format\": 1, \"serial\": 1, \"expires\": \"2999-12-31T23:59:59Z\", ") +
             "\"plugins\": {\"" + kPackagedHost + "\": {\"version\": \"" + kNewVersion +
             "\", \"package\": \"package.tar.gz\", \"size\": " + std::to_string(bytes.size()) +
             ", \"sha256\": \"" + sha256_ + "\"}}}\n";
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(index_.data()),
                         index_.size(), secret_key_);
    WriteFile(*dir_ / "index.json", index_);
    WriteFile(*dir_ / "index.json.sig", Hex(signature, sizeof signature) + "\n");
    ::setenv("VEXODL_VEXOHOST_UPDATE_MIRROR", ("file://" + dir_->path()).c_str(), 1);
    ::setenv("VEXODL_VEXOHOST_UPDATE_KEY", Hex(public_key_, sizeof public_key_).c_str(), 1);
  }
  ~Mirror() {
    ::unsetenv("VEXODL_VEXOHOST_UPDATE_MIRROR");
    ::unsetenv("VEXODL_VEXOHOST_UPDATE_KEY");
  }
  Mirror(const Mirror&) = delete;
  Mirror& operator=(const Mirror&) = delete;

  const std::string& index() const { return index_; }

  // The least an update needs, with TarInstall for its install: the index and its signature read
  // and checked, the package read and its SHA-256 checked, the index kept as the service keeps
  // it (written to a new file, synced, renamed into place, its folder synced), then TarInstall of
  // the package where it lies.
  void TarUpdate(const BaselineStore& store) const {
    const std::string index = ReadFile(*dir_ / "index.json");
    std::array<unsigned char, crypto_sign_BYTES> signature{};
    const std::string hex = ReadFile(*dir_ / "index.json.sig");
    if (sodium_hex2bin(signature.data(), signature.size(), hex.data(), hex.size(), "\n", nullptr,
                       nullptr) != 0 ||
        crypto_sign_verify_detached(signature.data(),
                                    reinterpret_cast<const unsigned char*>(index.data()),
                                    index.size(), public_key_) != 0) {
      throw std::runtime_error("the index's signature does not hold");
    }
    if (Sha256Hex(ReadFile(package_)) != sha256_) {
      throw std::runtime_error("the package's SHA-256 differs");
    }
    const std::string kept = store.staging() + "/new-index.json";
    {
      const UniqueFd fd(
          ::open(kept.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
      if (!fd.valid() || !WriteAll(fd.get(), index) || ::fsync(fd.get()) != 0)
        Fail("write " + kept);
    }
    Rename(kept, store.root() + "/update-index.json");
    SyncFolder(store.root());
    TarInstall(package_, store);
  }

 private:
  std::unique_ptr<fake::TempDir> dir_;
  unsigned char public_key_[crypto_sign_PUBLICKEYBYTES];
  unsigned char secret_key_[crypto_sign_SECRETKEYBYTES];
  std::string package_;
  std::string sha256_;
  std::string index_;
};

// Puts kOldVersion of kPackagedHost into `user`: a folder with its manifest.
void InstallOldVersion(const std::string& user) {
  const std::string folder = user + "/" + kPackagedHost;
  if (::mkdir(folder.c_str(), 0755) != 0) Fail("mkdir " + folder);
  WriteFile(folder + "/manifest.json", ManifestText(kOldVersion));
}

// Arg 0: the package's files (200 or 4,000); arg 1: the store on disk or on tmpfs, as BM_HostAdd.
// Each call updates kOldVersion to kNewVersion from a file:// mirror and keeps its index (none is
// kept before). Baselines: Mirror::TarUpdate, and the same update without syncs ("nosync").
void BM_HostUpdate(benchmark::State& state) {
  const Package& package = PackageOf(static_cast<int>(state.range(0)));
  const char* parent = state.range(1) == 0 ? nullptr : "/dev/shm";
  const Store store(0, parent);
  const BaselineStore baseline(parent);
  const Mirror mirror(package, parent);
  state.SetLabel(store.file_system() + ", syncfs");
  const auto update = [&](SyncMode mode) {
    const ScopedSyncMode scoped(mode);
    vexohost::Handler(kPackagedHost).HostUpdate("https://updates.invalid/");
  };
  // Each side starts from kOldVersion installed, no index kept, and nothing of another side's
  // left to write.
  const auto between = [&] {
    for (const std::string& root : {store.root(), baseline.root()}) {
      RemoveTree(root + "/user/" + kPackagedHost);
      InstallOldVersion(root + "/user");
      RemoveTree(root + "/update-index.json");
    }
    SyncFolder(store.root(), /*whole_file_system=*/true);
  };
  const auto updated = [&](const std::string& root) {
    return TreeListing(root + "/user/" + kPackagedHost) == package.listing() &&
           ReadFile(root + "/update-index.json") == mirror.index();
  };
  between();
  SyncCounts counts = CountedSyncs();
  update(SyncMode::kReal);
  const SyncCounts library_syncs = CountedSyncs() - counts;
  std::string wrong = CheckSyncs(library_syncs, Strategy::kSyncFs, false, 0);
  if (wrong.empty() && !updated(store.root())) wrong = "the library did not update the plug-in";
  between();
  counts = CountedSyncs();
  update(SyncMode::kSkipped);
  if (wrong.empty()) wrong = CheckSyncs(CountedSyncs() - counts, Strategy::kSyncFs, true, 0);
  if (wrong.empty() && !updated(store.root())) {
    wrong = "the update without syncs did not update the plug-in";
  }
  between();
  mirror.TarUpdate(baseline);
  if (wrong.empty() && !updated(baseline.root())) wrong = "the baseline did not update the plug-in";
  between();
  if (!wrong.empty()) return FailCheck(state, wrong);

  Paired paired{[&](int) { update(SyncMode::kReal); }, [&](int) { mirror.TarUpdate(baseline); },
                between};
  paired.second_baseline = [&](int) { update(SyncMode::kSkipped); };
  paired.second_name = "nosync";
  RunPaired(state, Timing::kWall, 1, paired);
  state.counters["fsyncs"] = static_cast<double>(library_syncs.fsyncs);
  state.counters["syncfs"] = static_cast<double>(library_syncs.syncfs);
}
BENCHMARK(BM_HostUpdate)
    ->Args({200, 0})
    ->Args({200, 1})
    ->Args({4000, 1})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostUpdate)
    ->Args({4000, 0})
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// ---- The pyLoad channels ------------------------------------------------------------------------

// What pyLoad answers to a request that it carried out.
const char kDoneAnswer[] = "{\"result\": true}\n";

pyload::MethodEnableAccount EnableRequest() {
  pyload::MethodEnableAccount method;
  method.host = "Rapidgator";
  method.enabled = true;
  return method;
}

// AnswerServer is the least a peer can do on pyLoad's socket: on a thread of its own, it accepts a
// connection, reads the request to its end, writes the fixed answer and closes. It keeps the last
// request it read.
class AnswerServer {
 public:
  explicit AnswerServer(std::string path) : path_(std::move(path)) {
    listener_ = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un address = Address(path_);
    if (!listener_.valid() ||
        ::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 64) != 0) {
      Fail("listen on " + path_);
    }
    thread_ = std::thread([this] { Serve(); });
  }
  ~AnswerServer() {
    stop_ = true;
    ::shutdown(listener_.get(), SHUT_RDWR);  // wakes accept()
    thread_.join();
  }
  AnswerServer(const AnswerServer&) = delete;
  AnswerServer& operator=(const AnswerServer&) = delete;

  std::string last_request() {
    std::lock_guard<std::mutex> lock(mu_);
    return last_request_;
  }

  static sockaddr_un Address(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long");
    std::memcpy(address.sun_path, path.c_str(), path.size());
    return address;
  }

 private:
  void Serve() {
    std::string request;
    while (!stop_) {
      const UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!connection.valid()) continue;
      request.clear();
      if (!ReadToEnd(connection.get(), &request)) continue;
      ::send(connection.get(), kDoneAnswer, sizeof kDoneAnswer - 1, MSG_NOSIGNAL);
      std::lock_guard<std::mutex> lock(mu_);
      last_request_.swap(request);
    }
  }

  const std::string path_;
  UniqueFd listener_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::string last_request_;
  std::thread thread_;
};

// The bare exchange: connect, send the request, end the sending side, read the answer to its end,
// close.
std::string BareSocketExchange(const sockaddr_un& address, const std::string& request) {
  const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid() ||
      ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(request.size()) ||
      ::shutdown(fd.get(), SHUT_WR) != 0) {
    Fail("exchange over the socket");
  }
  std::string answer;
  if (!ReadToEnd(fd.get(), &answer)) Fail("read the answer");
  return answer;
}

void BM_SocketChannel(benchmark::State& state) {
  const fake::TempDir dir;
  const std::string path = dir / "pyload.sock";
  AnswerServer server(path);
  ::setenv("VEXODL_PYLOAD_SOCKET", path.c_str(), 1);
  const pyload::MethodEnableAccount method = EnableRequest();
  if (!pyload::rpc::DomainSocketHandler().EnableAccount(method)) {
    return FailCheck(state, "the channel did not get its answer");
  }
  const std::string request = server.last_request();
  const sockaddr_un address = AnswerServer::Address(path);
  if (BareSocketExchange(address, request) != kDoneAnswer || server.last_request() != request) {
    return FailCheck(state, "the bare exchange differs");
  }
  constexpr int kBatch = 50;
  bool all_done = true;
  RunPaired(state, Timing::kWall, kBatch,
            {[&](int) { all_done &= pyload::rpc::DomainSocketHandler().EnableAccount(method); },
             [&](int) { benchmark::DoNotOptimize(BareSocketExchange(address, request)); }});
  if (!all_done) FailCheck(state, "a request failed");
}
BENCHMARK(BM_SocketChannel)->UseManualTime()->Unit(benchmark::kMicrosecond);

// How a baseline starts the command-line program.
enum class Spawn {
  // A forked process that makes itself a child subreaper, posix_spawns the program and waits for
  // it: the least that a run must do which leaves nothing of the program's running once it returns.
  kReaped,
  kBare,  // posix_spawn from this process, as a run without that guarantee could
};

// Runs the program with pipes on its standard input and output, writes the request, reads the
// answer to its end and waits for the process it started.
std::string SpawnAndTalk(const std::string& program, const std::string& request, Spawn spawn) {
  int to_child[2];
  int from_child[2];
  if (::pipe2(to_child, O_CLOEXEC) != 0) Fail("pipe");
  UniqueFd to_read(to_child[0]);
  UniqueFd to_write(to_child[1]);
  if (::pipe2(from_child, O_CLOEXEC) != 0) Fail("pipe");
  UniqueFd from_read(from_child[0]);
  UniqueFd from_write(from_child[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, to_read.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, from_write.get(), STDOUT_FILENO);
  char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
  pid_t pid = -1;
  int error = 0;
  if (spawn == Spawn::kBare) {
    error = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
  } else if ((pid = ::fork()) == 0) {
    // The reaper: this side's ends closed, so that only the program holds its streams; the
    // program's status as its own.
    ::close(to_write.get());
    ::close(from_read.get());
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    pid_t child = -1;
    int status = 0;
    if (::posix_spawn(&child, program.c_str(), &actions, nullptr, argv, environ) != 0) ::_exit(127);
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 126);
  } else if (pid < 0) {
    error = errno;
  }
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) Fail("spawn " + program);
  to_read.Reset();
  from_write.Reset();
  std::string answer;
  const bool talked = WriteAll(to_write.get(), request);
  to_write.Reset();
  const bool heard = ReadToEnd(from_read.get(), &answer);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!talked || !heard || !WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail("run " + program);
  return answer;
}

// Arg 0: against the reaped spawn (the goal: what the library adds to what its guarantee costs);
// arg 1: against the bare spawn (for information: what the guarantee costs on top).
void BM_CommandlineChannel(benchmark::State& state) {
  const Spawn spawn = state.range(0) == 0 ? Spawn::kReaped : Spawn::kBare;
  state.SetLabel(spawn == Spawn::kReaped ? "reaped spawn" : "bare spawn");
  const fake::TempDir dir;
  const std::string program = VEXODL_BENCH_CLI_PEER;
  const std::string record = dir / "request";
  ::setenv("VEXODL_PYLOAD_CLI", program.c_str(), 1);
  const pyload::MethodEnableAccount method = EnableRequest();
  ::setenv("VEXODL_BENCH_CLI_RECORD", record.c_str(), 1);
  const bool done = pyload::rpc::CommandlineHandler().EnableAccount(method);
  const std::string request = ReadFile(record);
  const std::string answer = SpawnAndTalk(program, request, spawn);
  const std::string baseline_request = ReadFile(record);
  ::unsetenv("VEXODL_BENCH_CLI_RECORD");
  if (!done) return FailCheck(state, "the channel did not get its answer");
  if (request.empty() || baseline_request != request || answer != kDoneAnswer) {
    return FailCheck(state, "the baseline's spawn differs");
  }
  constexpr int kBatch = 10;
  bool all_done = true;
  RunPaired(state, Timing::kWall, kBatch,
            {[&](int) { all_done &= pyload::rpc::CommandlineHandler().EnableAccount(method); },
             [&](int) { benchmark::DoNotOptimize(SpawnAndTalk(program, request, spawn)); }});
  if (!all_done) FailCheck(state, "a request failed");
}
BENCHMARK(BM_CommandlineChannel)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vexodl::bench

int main(int argc, char** argv) {
  // A peer that stops reading must show as an error, not end the program.
  ::signal(SIGPIPE, SIG_IGN);
  return vexodl::bench::RunBenchmarks(argc, argv);
}
