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

StartedProgram::StartedProgram(const std::vector<std::string>& argv,
                               const std::vector<std::string>& environment, int input_fd) {
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
  posix_spawn_file_actions_adddup2(&setup.actions, input_fd >= 0 ? input_fd : in.read_end.get(),
                                   STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&setup.actions, out.write_end.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&setup.actions, err.write_end.get(), STDERR_FILENO);

  std::vector<std::string> arguments = argv;
  std::vector<std::string> variables = environment;
  const bool search = arguments.at(0).find('/') == std::string::npos;
  const int spawned = (search ? posix_spawnp : posix_spawn)(
      &pid_, arguments[0].c_str(), &setup.actions, &setup.attributes, Pointers(arguments).data(),
      Pointers(variables).data());
  if (spawned != 0) ThrowSystem(spawned, "posix_spawn " + arguments[0]);
  if (input_fd < 0) input_ = std::move(in.write_end);
  output_ = std::move(out.read_end);
  error_ = std::move(err.read_end);
}

StartedProgram::~StartedProgram() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

bool StartedProgram::Write(const std::string& text) {
  const IgnoreSigpipe ignore_sigpipe;
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(input_.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<std::string> StartedProgram::ReadLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const std::size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd entry{output_.get(), POLLIN, 0};
    if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) == 0) {
      return std::nullopt;
    }
    char buffer[4096];
    const ssize_t n = ::read(output_.get(), buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

ProgramResult StartedProgram::Finish(const std::string& input, std::chrono::milliseconds timeout) {
  const IgnoreSigpipe ignore_sigpipe;
  if (input.empty()) input_.Reset();
  ProgramResult result;
  result.out = std::move(pending_);
  pending_.clear();
  std::size_t written = 0;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (output_.valid() || error_.valid()) {
    pollfd fds[3] = {
        {output_.get(), POLLIN, 0}, {error_.get(), POLLIN, 0}, {input_.get(), POLLOUT, 0}};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 && !result.timed_out) {
      result.timed_out = true;
      ::kill(pid_, SIGKILL);
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
        (i == 0 ? output_ : error_).Reset();
      } else {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
      }
    }
    if (fds[2].revents != 0) {
      const ssize_t n = ::write(input_.get(), input.data() + written,
                                std::min<std::size_t>(input.size() - written, PIPE_BUF));
      if (n > 0) written += static_cast<std::size_t>(n);
      if ((n < 0 && errno != EINTR && errno != EAGAIN) || written == input.size()) {
        input_.Reset();
      }
    }
  }
  input_.Reset();
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) ThrowSystem(errno, "waitpid");
  }
  pid_ = -1;
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

ProgramResult RunProgram(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment, const std::string& input,
                         std::chrono::milliseconds timeout) {
  return StartedProgram(argv, environment).Finish(input, timeout);
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
