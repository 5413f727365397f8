#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace vexodl::cli {

// UsageError is a command line that the tool refuses; its message says why, and never repeats
// an argument that could be a password.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The options of the command line, as bits; Command::options says which a command takes.
enum OptionBit : unsigned {
  kType = 1U << 0,
  kUsername = 1U << 1,
  kPasswordStdin = 1U << 2,
  kEnable = 1U << 3,
  kDisable = 1U << 4,
  kJson = 1U << 5,
  kVerbose = 1U << 6,
  kHelp = 1U << 7,
  kVersion = 1U << 8,
  kQuiet = 1U << 9,
};

// What one command line asks for. `command` is empty when only --help or --version was given.
struct Arguments {
  std::string command;
  std::string operand;  // NAME, or SOURCE for install
  std::optional<std::string> type;
  std::optional<std::string> username;
  std::optional<bool> enabled;
  bool password_stdin = false;
  bool json = false;
  bool quiet = false;    // --quiet: the failures alone on standard error
  bool verbose = false;  // --verbose: notes and the library's log lines too
  bool help = false;
  bool version = false;
};

// Parses argv[1..argc-1]. Options take their value as the next argument or after "=", and may come
// before or after the operand; "--" ends the options. Throws UsageError for anything the command
// does not take, for a missing or empty operand, a missing --type or one other than vexo or
// pyload, verify without a user name, and any attempt to give a password on the command line:
// all that the library would refuse, or that would not ask it what was meant.
Arguments ParseArguments(int argc, const char* const* argv);

}  // namespace vexodl::cli
