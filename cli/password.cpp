#include "password.h"

#include <signal.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <system_error>

#include "arguments.h"

namespace vexodl::cli {

namespace {

// The first line of `fd`, read a byte at a time so that nothing after it is consumed. `newline`,
// when given, tells whether the line ended with one (not at the end of the input).
std::string ReadLine(int fd, bool* newline = nullptr) {
  std::string line;
  for (;;) {
    char byte = 0;
    const ssize_t n = ::read(fd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      Wipe(line);
      throw std::system_error(errno, std::generic_category(), "reading the password");
    }
    if (n == 0 || byte == '\n') {
      if (newline != nullptr) *newline = n != 0;
      break;
    }
    if (line.size() == kMaxPasswordBytes) {
      Wipe(line);
      throw UsageError("the password is longer than " + std::to_string(kMaxPasswordBytes) +
                       " bytes");
    }
    line += byte;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

void BecomeNonDumpable() {
  if (::prctl(PR_SET_DUMPABLE, 0) != 0) {
    throw std::system_error(errno, std::generic_category(), "making the process non-dumpable");
  }
}

// The terminal's settings while echo is off, for the signal handler to put back.
termios saved_terminal;

// The prompt's line is ended first, so that what the shell writes next starts a line of its own.
void RestoreTerminalAndDie(int signal_number) {
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, "\n", 1);
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_terminal);
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

constexpr int kFatalSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// NoEcho turns the terminal's echo off for its lifetime.
class NoEcho {
 public:
  NoEcho() {
    if (::tcgetattr(STDIN_FILENO, &saved_terminal) != 0) {
      throw std::system_error(errno, std::generic_category(), "reading the terminal's settings");
    }
    struct sigaction action {};
    action.sa_handler = RestoreTerminalAndDie;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(kFatalSignals); ++i) {
      ::sigaction(kFatalSignals[i], &action, &old_actions_[i]);
    }
    termios quiet = saved_terminal;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0) {
      const int error = errno;
      RestoreHandlers();
      throw std::system_error(error, std::generic_category(), "turning the terminal's echo off");
    }
  }
  ~NoEcho() {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_terminal);
    RestoreHandlers();
  }
  NoEcho(const NoEcho&) = delete;
  NoEcho& operator=(const NoEcho&) = delete;

 private:
  void RestoreHandlers() {
    for (std::size_t i = 0; i < std::size(kFatalSignals); ++i) {
      ::sigaction(kFatalSignals[i], &old_actions_[i], nullptr);
    }
  }

  struct sigaction old_actions_[std::size(kFatalSignals)]{};
};

}  // namespace

std::string ReadPasswordFromStdin() {
  BecomeNonDumpable();
  return ReadLine(STDIN_FILENO);
}

std::string PromptForPassword(const std::string& prompt) {
  if (::isatty(STDIN_FILENO) == 0) {
    throw UsageError(
        "a password is needed: give --password-stdin and the password on standard input, or run "
        "on a terminal to be asked");
  }
  BecomeNonDumpable();
  const NoEcho no_echo;
  // Nothing to do if the prompt cannot be written: the read still works.
  [[maybe_unused]] ssize_t written = ::write(STDERR_FILENO, prompt.data(), prompt.size());
  bool newline = false;
  std::string password = ReadLine(STDIN_FILENO, &newline);
  // Ctrl-D leaves the cursor on the prompt's line (only a typed newline is echoed): end it, so that
  // the next message starts a line of its own.
  if (!newline) written = ::write(STDERR_FILENO, "\n", 1);
  return password;
}

void Wipe(std::string& secret) {
  volatile char* bytes = secret.data();
  for (std::size_t i = 0; i < secret.size(); ++i) bytes[i] = 0;
  secret.clear();
}

}  // namespace vexodl::cli
