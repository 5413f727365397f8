// What a program that loads the library pays to start: the tool's `list --json` on an empty
// store with no pyLoad, against a program that opens an SQLite database file and writes [] with
// JsonCpp (startup_baseline.cpp). Wall time per run, paired; and the peak resident memory of
// each, the larger of five runs under vexodl-bench-peak (peak_launcher.cpp).
#include <fcntl.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

#include "paired.h"
#include "temp_dir.h"

extern char** environ;

namespace vexodl::bench {
namespace {

// Runs `argv` with `environment`, its standard output on a pipe, waits for it and returns what it
// wrote.
std::string RunProgram(const std::vector<std::string>& argv,
                       const std::vector<std::string>& environment) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (const std::string& entry : environment) env.push_back(const_cast<char*>(entry.c_str()));
  env.push_back(nullptr);
  pid_t pid = -1;
  const int error = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fds[1]);
  std::string out;
  char buffer[4096];
  ssize_t n = 0;
  while (error == 0 && ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0 || errno == EINTR)) {
    if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipe_fds[0]);
  if (error != 0) throw std::runtime_error("posix_spawn " + argv[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(argv[0] + " failed");
  return out;
}

// The largest peak resident memory, in kB, of five runs of `argv`.
long PeakKb(std::vector<std::string> argv, const std::vector<std::string>& environment) {
  argv.insert(argv.begin(), VEXODL_BENCH_PEAK);
  long peak = 0;
  for (int i = 0; i < 5; ++i) {
    const std::string out = RunProgram(argv, environment);
    const std::size_t line = out.rfind("peak_kb ");
    if (line == std::string::npos) throw std::runtime_error("no peak from " + argv[1]);
    peak = std::max(peak, std::stol(out.substr(line + 8)));
  }
  return peak;
}

void BM_ToolStartup(benchmark::State& state) {
  const fake::TempDir dir;
  const std::string store = dir / "store";
  const std::string database = dir / "accounts.db";
  ::mkdir(store.c_str(), 0700);
  sqlite3* db = nullptr;
  sqlite3_open(database.c_str(), &db);
  sqlite3_exec(db, "CREATE TABLE accounts(host TEXT PRIMARY KEY, user TEXT)", nullptr, nullptr,
               nullptr);
  sqlite3_close(db);
  const std::vector<std::string> tool = {VEXODL_BENCH_TOOL, "list", "--json"};
  const std::vector<std::string> tool_environment = {"VEXODL_VEXOHOST_STATE_DIR=" + store,
                                                     "VEXODL_PYLOAD_SOCKET=" + (dir / "no-socket"),
                                                     "VEXODL_PYLOAD_CLI=" + (dir / "no-program")};
  const std::vector<std::string> baseline = {VEXODL_BENCH_STARTUP_BASELINE, database};
  const std::string tool_out = RunProgram(tool, tool_environment);
  const std::string baseline_out = RunProgram(baseline, {});
  if (tool_out != "[]\n" || baseline_out != tool_out) {
    return FailCheck(state,
                     "the tool wrote \"" + tool_out + "\", the baseline \"" + baseline_out + "\"");
  }
  RunPaired(state, Timing::kWall, 5,
            {[&](int) { benchmark::DoNotOptimize(RunProgram(tool, tool_environment)); },
             [&](int) { benchmark::DoNotOptimize(RunProgram(baseline, {})); }});
  const long tool_peak = PeakKb(tool, tool_environment);
  const long baseline_peak = PeakKb(baseline, {});
  state.counters["library_kb"] = static_cast<double>(tool_peak);
  state.counters["baseline_kb"] = static_cast<double>(baseline_peak);
  state.counters["memory_ratio"] =
      static_cast<double>(tool_peak) / static_cast<double>(std::max(baseline_peak, 1L));
}
BENCHMARK(BM_ToolStartup)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vexodl::bench

int main(int argc, char** argv) { return vexodl::bench::RunBenchmarks(argc, argv); }
