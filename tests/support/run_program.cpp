#include "run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <system_error>

#include "unique_fd.h"

extern char** environ;

namespace vexodl::fake {

namespace {

using common::UniqueFd;

[[noreturn]] void ThrowSystem(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

// A pipe whose two ends close on exec; the child gets its end through dup2, which clears the flag.
struct Pipe {
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) ThrowSystem(errno, "pipe2");
    read_end = UniqueFd(fds[0]);
    write_end = UniqueFd(fds[1]);
  }
  UniqueFd read_end;
  UniqueFd write_end;
};

// IgnoreSigpipe makes a write to a child that no longer reads fail with EPIPE instead of killing
// this process, for its lifetime.
class IgnoreSigpipe {
 public:
  IgnoreSigpipe() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, &old_);
  }
  ~IgnoreSigpipe() { ::sigaction(SIGPIPE, &old_, nullptr); }
  IgnoreSigpipe(const IgnoreSigpipe&) = delete;
  IgnoreSigpipe& operator=(const IgnoreSigpipe&) = delete;

 private:
  struct sigaction old_ {};
};

// Child owns a started process: destroying it kills and reaps one that has not been reaped.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  int Wait() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0) {
      if (errno != EINTR) ThrowSystem(errno, "waitpid");
    }
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_;
};

// posix_spawn's attributes and file actions, destroyed on every path.
struct SpawnSetup {
  SpawnSetup() {
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSetup() {
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
};

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
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
  const IgnoreSigpipe ignore_sigpipe;
  Pipe in;
  Pipe out;
  Pipe err;
  SpawnSetup setup;
  sigset_t signals;
  sigfillset(&signals);
  posix_spawnattr_setsigdefault(&setup.attributes, &signals);
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&setup.attributes, &signals);
  posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  posix_spawn_file_actions_adddup2(&setup.actions, in.read_end.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&setup.actions, out.write_end.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&setup.actions, err.write_end.get(), STDERR_FILENO);

  std::vector<std::string> arguments = argv;
  std::vector<std::string> variables = environment;
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, arguments.at(0).c_str(), &setup.actions, &setup.attributes,
                                  Pointers(arguments).data(), Pointers(variables).data());
  if (spawned != 0) ThrowSystem(spawned, "posix_spawn " + arguments[0]);
  Child child(pid);
  in.read_end.Reset();
  out.write_end.Reset();
  err.write_end.Reset();
  if (input.empty()) in.write_end.Reset();

  ProgramResult result;
  std::size_t written = 0;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out.read_end.valid() || err.read_end.valid()) {
    pollfd fds[3] = {{out.read_end.get(), POLLIN, 0},
                     {err.read_end.get(), POLLIN, 0},
                     {in.write_end.get(), POLLOUT, 0}};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 && !result.timed_out) {
      result.timed_out = true;
      ::kill(child.pid(), SIGKILL);
    }
    // A grandchild may still hold the outputs open; what it writes is not the program's.
    if (result.timed_out && left < -std::chrono::seconds(5)) break;
    const int ready = ::poll(fds, 3, result.timed_out ? 1000 : static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) ThrowSystem(errno, "poll");
    if (ready <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof(buffer));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        (i == 0 ? out : err).read_end.Reset();
      } else {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
      }
    }
    if (fds[2].revents != 0) {
      const ssize_t n = ::write(in.write_end.get(), input.data() + written,
                                std::min<std::size_t>(input.size() - written, PIPE_BUF));
      if (n > 0) written += static_cast<std::size_t>(n);
      if ((n < 0 && errno != EINTR && errno != EAGAIN) || written == input.size()) {
        in.write_end.Reset();
      }
    }
  }
  in.write_end.Reset();
  const int status = child.Wait();
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
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
