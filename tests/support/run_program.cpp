#include "run_program.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <system_error>

#include "program_runner.h"

extern char** environ;

namespace vexodl::fake {

namespace {

// `name` as the first executable of that name in PATH, or itself when it holds a "/".
std::string InPath(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return name;
}

}  // namespace

void PrintTo(const ProgramResult& result, std::ostream* os) {
  *os << "{exit " << result.exit_status << ", signal " << result.signal
      << (result.timed_out ? ", timed out" : "") << ", stdout \"" << result.out << "\", stderr \""
      << result.err << "\"}";
}

ProgramResult RunProgram(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment, const std::string& input,
                         std::chrono::milliseconds timeout) {
  using End = common::ProgramRun::End;
  // The programs that tests start stay in the tests' PID namespace, where /proc shows them as they
  // are: LeakSanitizer reads it when a program built with it exits. (This library's copy of the
  // runner alone: the product's own keep their namespaces.)
  common::SetPidNamespaceForTesting(false);
  common::ProgramStart start;
  start.arguments.assign(argv.begin() + 1, argv.end());
  start.environment = environment;
  start.keep_errors = true;
  common::ProgramRun run =
      common::RunProgramFully(InPath(argv.at(0)), input, timeout, 64 << 20, start);
  if (run.end == End::kNotStarted) {
    throw std::system_error(run.start_error, std::generic_category(), "cannot start " + argv[0]);
  }
  ProgramResult result;
  if (run.end == End::kExited) result.exit_status = run.exit_status;
  if (run.end == End::kKilled || run.end == End::kReaperKilled) result.signal = run.signal;
  result.timed_out = run.end == End::kTimedOut;
  result.out = std::move(run.output);
  result.err = std::move(run.errors);
  return result;
}

std::vector<std::string> CurrentEnvironment() {
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) variables.emplace_back(*entry);
  return variables;
}

bool CanStartTargetPrograms(std::string* why) {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) {
    *why = std::string("cannot find this program: ") + std::strerror(errno);
    return false;
  }
  path[length] = '\0';
  try {
    const ProgramResult result = RunProgram({path, "--gtest_list_tests", "--gtest_filter=-*"},
                                            CurrentEnvironment(), "", std::chrono::seconds(60));
    if (result.exit_status == 0) return true;
    *why = std::string(path) + " --gtest_list_tests ended with status " +
           std::to_string(result.exit_status) + ", signal " + std::to_string(result.signal);
  } catch (const std::system_error& error) {
    *why = std::string("this machine cannot start programs of this architecture (") + error.what() +
           "); register qemu-arm with scripts/register-qemu-arm.sh";
  }
  return false;
}

}  // namespace vexodl::fake
