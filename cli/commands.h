#pragma once

#include <string>
#include <string_view>

#include "arguments.h"

namespace vexodl::filehosting {
class Handler;
}

namespace vexodl::cli {

class Report;

// The tool's exit statuses; cli/commands.json says them in --help and the manual page.
inline constexpr int kExitOk = 0;
inline constexpr int kExitError = 1;     // the library or a back-end failed
inline constexpr int kExitUsage = 2;     // the command line, or the password, refused
inline constexpr int kExitFailure = 3;   // anything else
inline constexpr int kExitRejected = 4;  // verify: the back-end rejected the account

// Command is one command of vexodl-filehosting: the command line it takes, its help and what it
// does. The table in commands.cpp, made from commands.json, holds every command; the parser, the
// help and main() all read it.
struct Command {
  const char* name;
  const char* operand;  // NAME or SOURCE; nullptr when the command takes none
  unsigned options;     // the OptionBits it takes beyond the global ones
  bool type_required;   // whether it needs --type
  const char* help;     // the text of `vexodl-filehosting NAME --help`
  // Does the command with `handler`, saying in `report` what the exit status alone does not;
  // returns the exit status. What the library throws passes on.
  int (*run)(const Arguments& args, filehosting::Handler& handler, Report& report);
};

// The command called `name`, or nullptr when there is none.
const Command* FindCommand(std::string_view name);

// The text of `vexodl-filehosting --help`, or of `vexodl-filehosting COMMAND --help`.
std::string HelpText(const std::string& command);

}  // namespace vexodl::cli
