// Our own back-ends against the least work their jobs need: the native store's listing against
// reading and parsing the same manifests, its account change against one bare SQLite transaction,
// and the pyLoad channels against a bare socket exchange and a reaped and a bare spawn of the same
// program.
// The store lives in a new folder under $TMPDIR (or /tmp); docs/benchmarks.md explains the design.
// This program defines fsync, fdatasync and syncfs itself (sync_switch.h), and counts the calls.
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
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

  std::string user() const { return *dir_ / "user"; }
  std::string database() const { return *dir_ / "accounts.db"; }
  std::string file_system() const { return FileSystemOf(dir_->path()); }

 private:
  static std::unique_ptr<fake::TempDir> MakeTempDir(const char* parent) {
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
