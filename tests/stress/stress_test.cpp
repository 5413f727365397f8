// The library under load over both of our back-ends: worker threads of this process and of
// worker processes (stress_worker, started with posix_spawn) run every Handler operation at once,
// for VEXODL_STRESS_SECONDS (default 2; VEXODL_STRESS_SEED repeats a run's choices). Each worker
// owns three hosts: a shipped and a user native plug-in in a temporary state directory, and a
// plug-in of the pyLoad peer on a temporary socket (stress_worker.h). Afterwards every host must
// hold exactly what its owner last stored, through the library and in the stores' own files;
// no call may have ended otherwise than its owner expected, but for the contention codes that
// docs/vexohost.md documents (counted, reported, and taken as not written); and no descriptor or
// child process may be left, here or in the worker processes.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "error/vexo_error.h"
#include "handler.h"
#include "json_text.h"
#include "loaded_from.h"
#include "process_census.h"
#include "pyload_test_support.h"
#include "run_program.h"
#include "stress_worker.h"
#include "syslog_capture.h"
#include "temp_dir.h"
#include "update_fixture.h"

extern char** environ;

namespace vexodl::stress {
namespace {

using ::testing::EndsWith;
using vexohost::test::Plugin;
using vexohost::test::ReadFile;
using vexohost::test::WriteArchive;
using vexohost::test::WriteFile;

constexpr char kWorkerProgram[] = VEXODL_STRESS_WORKER;
constexpr char kOurVexohost[] = "/vexohost/libvexodlvexohost.so.1";
constexpr char kOurPyload[] = "/pyload/libvexodlpyload.so.1";
// vexodl::vexohost::Handler::List(Json::Value&), vexodl::pyload::Utils::IsPyLoadDomainSocketReady()
constexpr char kVexohostSymbol[] = "_ZN6vexodl8vexohost7Handler4ListERN4Json5ValueE";
constexpr char kPyloadSymbol[] = "_ZN6vexodl6pyload5Utils25IsPyLoadDomainSocketReadyEv";

// How long the workers run: VEXODL_STRESS_SECONDS (a decimal number), 2 s by default, short
// enough for the sanitizer builds and for qemu-arm.
std::chrono::milliseconds Duration() {
  const char* text = std::getenv("VEXODL_STRESS_SECONDS");
  if (text == nullptr || *text == '\0') return std::chrono::seconds(2);
  char* end = nullptr;
  const double seconds = std::strtod(text, &end);
  if (*end != '\0' || !(seconds > 0) || seconds > 86400) {
    throw std::invalid_argument("VEXODL_STRESS_SECONDS must be a number of seconds up to 86400");
  }
  return std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000));
}

std::uint32_t Seed() {
  const char* text = std::getenv("VEXODL_STRESS_SEED");
  if (text != nullptr && *text != '\0') return static_cast<std::uint32_t>(std::stoul(text));
  return std::random_device()();
}

std::set<pid_t> ChildPids() {
  std::set<pid_t> pids;
  for (const fake::ChildInfo& child : fake::ChildrenOfThisProcess()) pids.insert(child.pid);
  return pids;
}

// A worker process: stress_worker with `argv`, its standard output and error into the file
// `output`. Destroying it kills and reaps it unless Wait did.
class WorkerProcess {
 public:
  WorkerProcess(std::vector<std::string> argv, const std::string& output) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> pointers;
    for (std::string& argument : argv) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    const int error =
        posix_spawn(&pid_, argv[0].c_str(), &actions, &attributes, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
      pid_ = -1;
      throw std::system_error(error, std::generic_category(), "posix_spawn " + argv[0]);
    }
  }
  ~WorkerProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  WorkerProcess(const WorkerProcess&) = delete;
  WorkerProcess& operator=(const WorkerProcess&) = delete;

  // Its wait status once it has ended; nothing when it was still running at `deadline`, and
  // then killed.
  std::optional<int> Wait(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
      int status = 0;
      const pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        return status;
      }
      if (done < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category());
      if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

 private:
  pid_t pid_ = -1;
};

std::string DescribeStatus(const std::optional<int>& status) {
  if (!status) return "still running at the deadline";
  if (WIFEXITED(*status)) return "exit status " + std::to_string(WEXITSTATUS(*status));
  if (WIFSIGNALED(*status)) return "killed by signal " + std::to_string(WTERMSIG(*status));
  return "wait status " + std::to_string(*status);
}

// Which workers run where: on threads of this process, and in worker processes.
struct Layout {
  std::vector<std::string> here;
  std::vector<std::vector<std::string>> processes;
};

class StressTest : public vexohost::test::UpdateServerTest {
 protected:
  ~StressTest() override { ::unsetenv("VEXODL_VEXOHOST_UPDATE_MIRROR"); }

  void RunAndCheck(const Layout& layout);

 private:
  void Prepare(const std::vector<std::string>& ids);
  std::vector<WorkerReport> ReadProcessReport(const std::string& report_path,
                                              const std::string& where);
  void CheckLog(const std::vector<std::string>& lines, const std::vector<WorkerReport>& workers,
                const std::string& where);
  void CheckFinalState(const std::vector<WorkerReport>& workers);
  void CheckLeftovers(const std::vector<WorkerReport>& workers);
  static void PrintCounts(const Layout& layout, std::chrono::milliseconds duration,
                          std::uint32_t seed, const std::vector<WorkerReport>& workers);

  pyload::testing::PeerEnvironment peer_;
  fake::TempDir runs_;   // the worker processes' reports and outputs
  Json::Value plugins_;  // the peer's pyLoad plug-ins, which no call may change
};

// Shipped plug-ins with their verifiers, packages of the user plug-ins at both versions in the
// update server's tree, an index that offers the newer ones, signed and already kept by the store
// (so that listings show "newversion"), the user plug-ins installed at the older version, and
// the peer serving one pyLoad plug-in per worker.
void StressTest::Prepare(const std::vector<std::string>& ids) {
  fake::ClearSyslog();
  plugins_ = Json::Value(Json::objectValue);
  std::vector<Offer> offers;
  for (const std::string& id : ids) {
    WritePlugin("shipped", ShippedName(id), ShippedManifest(ShippedName(id)));
    const std::string verifier = Path("shipped/" + ShippedName(id) + "/verify");
    WriteFile(verifier, kShippedVerifier);
    ASSERT_EQ(0, ::chmod(verifier.c_str(), 0755));
    WriteArchive(PackagePath(server_.path(), id, kOldVersion),
                 Plugin(UserName(id), kOldVersion, "", 1));
    const std::string newer = PackagePath(server_.path(), id, kNewVersion);
    WriteArchive(newer, Plugin(UserName(id), kNewVersion, "", 2));
    offers.push_back({UserName(id), kNewVersion, newer});
    plugins_[PyloadName(id)] = PyloadPlugin();
  }
  const std::string fixed = Package(std::string(kFixedUserPlugin) + "-" + kNewVersion + ".zip",
                                    Plugin(kFixedUserPlugin, kNewVersion));
  offers.push_back({kFixedUserPlugin, kNewVersion, fixed});
  Publish(offers);
  ::setenv("VEXODL_VEXOHOST_UPDATE_MIRROR", ("file://" + server_.path()).c_str(), 1);

  Json::Value store(Json::objectValue);
  store["plugins"] = plugins_;
  store["accounts"] = Json::Value(Json::objectValue);
  peer_.WriteStore(fake::Compact(store));
  // Deadlines for a loaded machine: a pyLoad request that misses one fails, and nothing in these
  // documents makes that a contention code.
  peer_.env().Set("VEXODL_PYLOAD_CONNECT_TIMEOUT_MS", std::string("10000"));
  peer_.env().Set("VEXODL_PYLOAD_SOCKET_TIMEOUT_MS", std::string("30000"));
  peer_.env().Set("VEXODL_PYLOAD_CLI_TIMEOUT_MS", std::string("60000"));
  peer_.StartServer();

  filehosting::Handler handler;
  for (const std::string& id : ids) {
    handler.Create("vexo", PackagePath(server_.path(), id, kOldVersion));
  }
  handler.Create("vexo", fixed);
  handler.Update(kFixedUserPlugin, "vexo");  // installs nothing, keeps the index
}

void StressTest::RunAndCheck(const Layout& layout) {
  EXPECT_THAT(fake::FileDefining(kVexohostSymbol), EndsWith(kOurVexohost));
  EXPECT_THAT(fake::FileDefining(kPyloadSymbol), EndsWith(kOurPyload));
  std::vector<std::string> ids = layout.here;
  for (const auto& process : layout.processes)
    ids.insert(ids.end(), process.begin(), process.end());
  ASSERT_NO_FATAL_FAILURE(Prepare(ids));
  const std::chrono::milliseconds duration = Duration();
  const std::uint32_t seed = Seed();
  std::cout << "stress: seed " << seed << " (VEXODL_STRESS_SEED), " << duration.count()
            << " ms (VEXODL_STRESS_SECONDS)" << std::endl;

  const int descriptors_before = fake::OpenDescriptorCount();
  const std::set<pid_t> children_before = ChildPids();
  ASSERT_EQ(std::set<pid_t>{peer_.server()->pid()}, children_before);

  std::vector<WorkerReport> workers(layout.here.size());
  {
    std::vector<std::unique_ptr<WorkerProcess>> processes;
    for (std::size_t p = 0; p < layout.processes.size(); ++p) {
      std::vector<std::string> argv = {
          kWorkerProgram, runs_ / ("report-" + std::to_string(p)), server_.path(),
          std::to_string(duration.count()),
          std::to_string(static_cast<std::uint32_t>(seed + 1000 * (p + 1)))};
      argv.insert(argv.end(), layout.processes[p].begin(), layout.processes[p].end());
      processes.push_back(
          std::make_unique<WorkerProcess>(argv, runs_ / ("output-" + std::to_string(p))));
    }

    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < layout.here.size(); ++i) {
      WorkerConfig config;
      config.id = layout.here[i];
      config.packages_dir = server_.path();
      config.duration = duration;
      config.seed = seed + static_cast<std::uint32_t>(i);
      threads.emplace_back([config, &workers, i] { workers[i] = RunWorker(config); });
    }
    for (std::thread& thread : threads) thread.join();
    CheckLog(
        [] {
          std::vector<std::string> lines;
          for (const fake::LogLine& line : fake::SyslogLines()) {
            lines.push_back(std::to_string(line.priority) + " " + line.text);
          }
          return lines;
        }(),
        workers, "this process");

    // Generous: a worker process may start slowly under a sanitizer or an emulator, and it
    // finishes the call it is in when its time is up.
    const auto deadline = std::chrono::steady_clock::now() + duration + std::chrono::seconds(150);
    for (std::size_t p = 0; p < processes.size(); ++p) {
      const std::string where = "worker process " + std::to_string(p);
      const std::optional<int> status = processes[p]->Wait(deadline);
      const std::string output = ReadFile(runs_ / ("output-" + std::to_string(p)));
      EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
          << where << ": " << DescribeStatus(status) << "; it wrote:\n"
          << output;
      EXPECT_EQ("", output) << where;
      for (WorkerReport& report :
           ReadProcessReport(runs_ / ("report-" + std::to_string(p)), where)) {
        workers.push_back(std::move(report));
      }
    }
  }
  ASSERT_EQ(ids.size(), workers.size()) << "a worker process wrote no report";

  PrintCounts(layout, duration, seed, workers);
  for (const WorkerReport& worker : workers) {
    for (const std::string& failure : worker.failures) ADD_FAILURE() << failure;
  }
  CheckFinalState(workers);
  CheckLeftovers(workers);

  EXPECT_EQ(descriptors_before, fake::OpenDescriptorCount());
  EXPECT_EQ(children_before, ChildPids());
}

std::vector<WorkerReport> StressTest::ReadProcessReport(const std::string& report_path,
                                                        const std::string& where) {
  const std::string text = ReadFile(report_path);
  if (text == "<missing>") {
    ADD_FAILURE() << where << " wrote no report";
    return {};
  }
  const Json::Value report = fake::ParseJson(text);
  EXPECT_THAT(report["vexohost"].asString(), EndsWith(kOurVexohost)) << where;
  EXPECT_THAT(report["pyload"].asString(), EndsWith(kOurPyload)) << where;
  EXPECT_EQ(report["descriptors_before"], report["descriptors_after"])
      << where << " left descriptors open";
  EXPECT_EQ(Json::Value(Json::arrayValue), report["children"]) << where << " left children behind";
  std::vector<WorkerReport> workers;
  for (const Json::Value& worker : report["workers"]) workers.push_back(ReportFromJson(worker));
  std::vector<std::string> lines;
  for (const Json::Value& line : report["log"]) lines.push_back(line.asString());
  CheckLog(lines, workers, where);
  return workers;
}

// The library logs the failures of pyLoad requests, and in this test the only ones are those the
// workers expected: pyLoad refusing to enable a host without an account, one line each.
void StressTest::CheckLog(const std::vector<std::string>& lines,
                          const std::vector<WorkerReport>& workers, const std::string& where) {
  std::int64_t refusals = 0;
  std::set<std::string> hosts;
  for (const WorkerReport& worker : workers) {
    hosts.insert(PyloadName(worker.id));
    for (const char* operation : {"pyload Set(enabled)", "pyload Set(account, enabled)"}) {
      const auto count = worker.operations.find(operation);
      if (count != worker.operations.end()) refusals += count->second.refused;
    }
  }
  const std::regex refusal("3 host/pyload\\.cpp:[0-9]+ Failed to set enabled (.*)");
  std::int64_t logged = 0;
  for (const std::string& line : lines) {
    std::smatch match;
    if (std::regex_match(line, match, refusal) && hosts.count(match[1].str()) != 0) {
      ++logged;
    } else {
      ADD_FAILURE() << where << " logged: " << line;
    }
  }
  EXPECT_EQ(refusals, logged) << where;
}

// Every host holds what its owner last stored: as Handler::Get and Handler::List show it, and as
// the stores keep it, passwords included (accounts.db read with SQLite, the peer's JSON file).
// The listing holds exactly the hosts that exist.
void StressTest::CheckFinalState(const std::vector<WorkerReport>& workers) {
  filehosting::Handler handler;
  Json::Value listing;
  handler.List(listing);
  std::map<std::string, Json::Value> listed;
  std::vector<std::string> listed_order;
  for (const Json::Value& host : listing) {
    const std::string key = host["type"].asString() + "/" + host["name"].asString();
    listed[key] = host;
    listed_order.push_back(key);
  }
  const Json::Value store = peer_.ReadStore();
  EXPECT_EQ(plugins_, store["plugins"]);

  std::vector<std::string> pyload_hosts;
  std::vector<std::string> native_hosts = {std::string("vexo/") + kFixedUserPlugin};
  for (const WorkerReport& worker : workers) {
    for (const OwnedHost& host : worker.hosts) {
      const std::string type = host.kind == HostKind::kPyload ? "pyload" : "vexo";
      const std::string key = type + "/" + host.name;
      std::vector<HostState> left = host.candidates;
      const auto keep = [&left](const auto& matches) {
        left.erase(std::remove_if(left.begin(), left.end(),
                                  [&](const HostState& state) { return !matches(state); }),
                   left.end());
      };
      const auto described = [&host] {
        std::string text;
        for (const HostState& state : host.candidates) text += "\n  " + Describe(state);
        return text;
      };
      ASSERT_FALSE(left.empty()) << host.name;

      Json::Value got;
      int code = 0;
      try {
        handler.Get(got, host.name, type);
      } catch (const VexoError& error) {
        code = error.code;
      }
      keep([&](const HostState& state) {
        const Json::Value expected = ExpectedHostJson(host, state);
        return expected.isNull() ? code == 2002 : code == 0 && got == expected;
      });
      EXPECT_FALSE(left.empty()) << host.name << ": Get gave code " << code << " and "
                                 << fake::Compact(got) << ", the owner stored one of"
                                 << described();

      const auto entry = listed.find(key);
      const Json::Value in_listing = entry == listed.end() ? Json::Value() : entry->second;
      keep([&](const HostState& state) { return ExpectedHostJson(host, state) == in_listing; });
      EXPECT_FALSE(left.empty()) << host.name << ": listed as " << fake::Compact(in_listing)
                                 << ", the owner stored one of" << described();

      if (host.kind == HostKind::kPyload) {
        const Json::Value account =
            store["accounts"].isMember(host.name) ? store["accounts"][host.name] : Json::Value();
        keep([&](const HostState& state) { return ExpectedPyloadAccount(state) == account; });
        EXPECT_FALSE(left.empty())
            << host.name << ": the peer's store holds " << fake::Compact(account)
            << ", the owner stored one of" << described();
      } else {
        std::string row = Row(host.name);
        if (row == "<no database>") row = "<none>";
        keep([&](const HostState& state) { return ExpectedRow(state) == row; });
        EXPECT_FALSE(left.empty()) << host.name << ": accounts.db holds " << row
                                   << ", the owner stored one of" << described();
      }
      if (!in_listing.isNull()) {
        (host.kind == HostKind::kPyload ? pyload_hosts : native_hosts).push_back(key);
      }
    }
  }
  std::sort(pyload_hosts.begin(), pyload_hosts.end());
  std::sort(native_hosts.begin(), native_hosts.end());
  std::vector<std::string> expected_order = pyload_hosts;
  expected_order.insert(expected_order.end(), native_hosts.begin(), native_hosts.end());
  EXPECT_EQ(expected_order, listed_order);
}

// Nothing half-done is left in the stores' folders: no journal of an unfinished transaction, no
// file on its way into place, nothing in staging/, and in user/ exactly the installed plug-ins.
void StressTest::CheckLeftovers(const std::vector<WorkerReport>& workers) {
  namespace fs = std::filesystem;
  const auto names = [](const std::string& folder) {
    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
      found.insert(entry.path().filename().string());
    }
    return found;
  };
  const std::set<std::string> allowed = {
      "accounts.db", "lock", "lock.gate", "shipped", "staging", "update-index.json", "user"};
  for (const std::string& name : names(state())) {
    EXPECT_EQ(1u, allowed.count(name)) << "the state directory holds " << name;
  }
  EXPECT_EQ(std::set<std::string>{}, names(Path("staging")));
  std::set<std::string> installed = {kFixedUserPlugin};
  for (const WorkerReport& worker : workers) {
    for (const OwnedHost& host : worker.hosts) {
      if (host.kind == HostKind::kUser && !host.candidates.empty() &&
          host.candidates.front().installed) {
        installed.insert(host.name);
      }
    }
  }
  EXPECT_EQ(installed, names(Path("user")));
  for (const std::string& name : names(fs::path(peer_.store_path()).parent_path().string())) {
    EXPECT_NE(0u, name.rfind(".store-", 0)) << "the peer left " << name;
  }
}

void StressTest::PrintCounts(const Layout& layout, std::chrono::milliseconds duration,
                             std::uint32_t seed, const std::vector<WorkerReport>& workers) {
  std::map<std::string, OperationCount> totals;
  OperationCount all;
  for (const WorkerReport& worker : workers) {
    for (const auto& [name, count] : worker.operations) {
      OperationCount& total = totals[name];
      for (OperationCount* sum : {&total, &all}) {
        sum->calls += count.calls;
        sum->done += count.done;
        sum->refused += count.refused;
        sum->busy += count.busy;
      }
    }
  }
  std::ostringstream out;
  out << "stress: " << layout.here.size() << " threads here";
  for (const auto& process : layout.processes) {
    out << ", a process of " << process.size() << " threads";
  }
  out << "; " << duration.count() << " ms, seed " << seed << "\n";
  const auto row = [&out](const std::string& name, const OperationCount& count) {
    out << "  " << std::left << std::setw(38) << name << std::right << std::setw(8) << count.calls
        << std::setw(8) << count.done << std::setw(9) << count.refused << std::setw(6) << count.busy
        << "\n";
  };
  out << "  " << std::left << std::setw(38) << "operation" << std::right << std::setw(8) << "calls"
      << std::setw(8) << "done" << std::setw(9) << "refused" << std::setw(6) << "busy"
      << "\n";
  for (const auto& [name, count] : totals) row(name, count);
  row("all", all);
  std::cout << out.str() << std::flush;
  ::testing::Test::RecordProperty("calls", std::to_string(all.calls));
  ::testing::Test::RecordProperty("busy", std::to_string(all.busy));
}

// Threads of one process only: runs wherever the test runs.
TEST_F(StressTest, ThreadsOfOneProcess) { RunAndCheck({{"t0", "t1", "t2", "t3"}, {}}); }

// Threads of this process and of two worker processes, all at once.
TEST_F(StressTest, ThreadsOfSeveralProcesses) {
  std::string why;
  if (!fake::CanStartTargetPrograms(&why)) {
    GTEST_SKIP() << "cannot start worker processes on this machine: " << why;
  }
  RunAndCheck({{"t0", "t1"}, {{"p0t0", "p0t1", "p0t2"}, {"p1t0", "p1t1", "p1t2"}}});
}

}  // namespace
}  // namespace vexodl::stress
