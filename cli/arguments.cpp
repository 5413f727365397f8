#include "arguments.h"

#include <cstring>
#include <string_view>

#include "commands.h"

namespace vexodl::cli {

namespace {

// One option of the command line; kOptions lists them all, in the order of the help.
struct Option {
  const char* name;
  const char* short_name;  // or nullptr
  const char* value;       // what its value stands for; nullptr when it takes none
  OptionBit bit;
};

#include "options.inc"

const Option* FindOption(std::string_view name) {
  for (const auto& option : kOptions) {
    if (name == option.name || (option.short_name != nullptr && name == option.short_name)) {
      return &option;
    }
  }
  return nullptr;
}

bool IsPasswordOption(std::string_view name) {
  return name == "--password" || name == "--pass" || name == "--passwd" || name == "-p";
}

// Takes word `i` of argv, an option, with its value (the next word's when not after "="), into
// `args`; returns the index of the last word it took.
int TakeOption(int argc, const char* const* argv, int i, Arguments* args, unsigned* given) {
  const std::string_view arg = argv[i];
  const std::size_t equals = arg.find('=');
  const std::string_view name = arg.substr(0, equals);
  if (IsPasswordOption(name)) {
    throw UsageError(
        "passwords are not taken from the command line, where other users can read them: use "
        "--password-stdin, or run on a terminal to be asked");
  }
  const Option* option = FindOption(name);
  if (option == nullptr) throw UsageError("unknown option " + std::string(name));
  if (option->value != nullptr) {
    std::string value;
    if (equals != std::string_view::npos) {
      value = std::string(arg.substr(equals + 1));
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      throw UsageError(std::string(option->name) + " needs a value");
    }
    (option->bit == kType ? args->type : args->username) = std::move(value);
  } else if (equals != std::string_view::npos) {
    throw UsageError(std::string(option->name) + " takes no value");
  }
  if ((*given & option->bit) != 0 && option->bit != kVerbose && option->bit != kQuiet &&
      option->bit != kHelp) {
    throw UsageError(std::string(option->name) + " is given twice");
  }
  *given |= option->bit;
  return i;
}

// Reads the words of argv into `args`: the command, its operand and the options, whose bits it
// returns. `operands` counts the operands.
unsigned ReadWords(int argc, const char* const* argv, Arguments* args, int* operands) {
  unsigned given = 0;
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!options_ended && arg == "--") {
      options_ended = true;
    } else if (!options_ended && arg.size() > 1 && arg[0] == '-') {
      i = TakeOption(argc, argv, i, args, &given);
    } else if (args->command.empty()) {
      args->command = std::string(arg);
    } else if ((*operands)++ == 0) {
      args->operand = std::string(arg);
    } else {
      // Not repeated: a stray argument may be a password typed in the wrong place.
      throw UsageError("unexpected argument " + std::to_string(i) + " (" + args->command +
                       " takes at most one operand)");
    }
  }
  args->quiet = (given & kQuiet) != 0;
  args->verbose = (given & kVerbose) != 0;
  args->help = (given & kHelp) != 0;
  args->version = (given & kVersion) != 0;
  args->json = (given & kJson) != 0;
  args->password_stdin = (given & kPasswordStdin) != 0;
  if ((given & kEnable) != 0) args->enabled = true;
  if ((given & kDisable) != 0) args->enabled = false;
  return given;
}

// Refuses an option that `command` does not take.
void CheckOptionsTaken(const Command& command, const Arguments& args, unsigned given) {
  if ((given & kQuiet) != 0 && (given & kVerbose) != 0) {
    throw UsageError("--quiet and --verbose exclude each other");
  }
  for (const auto& option : kOptions) {
    if ((given & option.bit) != 0 && ((kGlobalOptions | command.options) & option.bit) == 0) {
      if (option.bit == kType && command.operand != nullptr && !command.type_required) {
        throw UsageError(args.command + " takes no --type: it works on native hosts only");
      }
      throw UsageError(args.command + " takes no " + option.name);
    }
  }
  if ((given & kEnable) != 0 && (given & kDisable) != 0) {
    throw UsageError("--enable and --disable exclude each other");
  }
}

// Refuses what `command` cannot run with: a missing, extra or empty operand, a missing or unknown
// type, a user name missing where the command needs one.
void CheckCompleteness(const Command& command, const Arguments& args, int operands) {
  if (command.operand == nullptr && operands > 0) {
    throw UsageError(args.command + " takes no operand");
  }
  if (command.operand != nullptr && operands == 0) {
    throw UsageError(args.command + " needs " + command.operand);
  }
  if (command.operand != nullptr && args.operand.empty()) {
    throw UsageError(std::string(command.operand) == "SOURCE" ? "the source is empty"
                                                              : "the host name is empty");
  }
  if (command.type_required && !args.type) {
    throw UsageError(args.command + " needs --type vexo or --type pyload");
  }
  if (args.type && *args.type != "vexo" && *args.type != "pyload") {
    throw UsageError("--type is vexo or pyload, not \"" + *args.type + "\"");
  }
  if (args.password_stdin && !args.username) {
    throw UsageError("--password-stdin goes with --username");
  }
  if (args.command == "set" && !args.username && !args.enabled) {
    throw UsageError("set needs --username, --enable or --disable");
  }
  if (args.command == "verify" && (!args.username || args.username->empty())) {
    throw UsageError("verify needs the account's user name: --username USER");
  }
}

}  // namespace

Arguments ParseArguments(int argc, const char* const* argv) {
  Arguments args;
  int operands = 0;
  const unsigned given = ReadWords(argc, argv, &args, &operands);
  if (args.command.empty()) {
    if (args.help || args.version) return args;
    throw UsageError("no command given");
  }
  const Command* command = FindCommand(args.command);
  if (command == nullptr) throw UsageError("unknown command " + args.command);
  if (args.help || args.version) return args;
  CheckOptionsTaken(*command, args, given);
  CheckCompleteness(*command, args, operands);
  return args;
}

}  // namespace vexodl::cli
