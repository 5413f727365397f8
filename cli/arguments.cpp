#include "arguments.h"

#include <cstring>
#include <string_view>

namespace vexodl::cli {

namespace {

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
};

// Every command takes these.
constexpr unsigned kGlobalOptions = kVerbose | kHelp | kVersion;

struct OptionSpec {
  const char* name;
  OptionBit bit;
  bool takes_value;
};

constexpr OptionSpec kOptions[] = {
    {"--type", kType, true},
    {"--username", kUsername, true},
    {"--password-stdin", kPasswordStdin, false},
    {"--enable", kEnable, false},
    {"--disable", kDisable, false},
    {"--json", kJson, false},
    {"--verbose", kVerbose, false},
    {"--help", kHelp, false},
    {"--version", kVersion, false},
};

struct CommandSpec {
  const char* name;
  const char* operand;  // nullptr when the command takes none
  unsigned options;     // beyond kGlobalOptions
  bool type_required;
  const char* help;
};

constexpr CommandSpec kCommands[] = {
    {"list", nullptr, kJson, false,
     "usage: vexodl-filehosting list [--json]\n"
     "Lists every host, pyLoad's first, then the native ones: a table of name, type, enabled\n"
     "state, account, version, newer version, flags and description, or with --json the\n"
     "library's JSON array of host objects. A back-end that cannot be asked is left out (see\n"
     "--verbose for why).\n"},
    {"get", "NAME", kType, true,
     "usage: vexodl-filehosting get NAME --type vexo|pyload\n"
     "Prints the host's JSON object.\n"},
    {"set", "NAME", kType | kUsername | kPasswordStdin | kEnable | kDisable, true,
     "usage: vexodl-filehosting set NAME --type vexo|pyload [--username USER [--password-stdin]]\n"
     "                              [--enable|--disable]\n"
     "Stores the host's account, then its enabled state. The password is read from the first\n"
     "line of standard input with --password-stdin, otherwise asked for on the terminal without\n"
     "echo; it is never taken from the command line. --username \"\" removes the account.\n"},
    {"verify", "NAME", kType | kUsername | kPasswordStdin, true,
     "usage: vexodl-filehosting verify NAME --type vexo|pyload [--username USER "
     "[--password-stdin]]\n"
     "Asks the host's back-end whether the account is valid and prints the outcome as a word\n"
     "and its number: rejected (0), valid (1) or premium (2); each of them exits with status 0.\n"
     "The password is read as for set. Without --username, an empty account is verified.\n"},
    {"remove-account", "NAME", kType, true,
     "usage: vexodl-filehosting remove-account NAME --type vexo|pyload\n"
     "Removes the account stored for the host.\n"},
    {"install", "SOURCE", 0, false,
     "usage: vexodl-filehosting install SOURCE\n"
     "Installs a native host plug-in from SOURCE.\n"},
    {"update", "NAME", 0, false,
     "usage: vexodl-filehosting update NAME\n"
     "Updates the native host plug-in NAME from the update server.\n"},
    {"delete", "NAME", 0, false,
     "usage: vexodl-filehosting delete NAME\n"
     "Removes the native host plug-in NAME, with its account and enabled state.\n"},
};

constexpr char kGeneralHelp[] =
    "usage: vexodl-filehosting [--verbose] COMMAND [ARGUMENTS]\n"
    "Manages the file hosts of the vexodl download manager: native hosts (type vexo) and the\n"
    "hosts of pyLoad (type pyload).\n"
    "\n"
    "commands (T, the host's type: vexo or pyload):\n"
    "  list [--json]                         every host of both kinds\n"
    "  get NAME --type T                     one host as a JSON object\n"
    "  set NAME --type T [--username USER [--password-stdin]] [--enable|--disable]\n"
    "                                        store the account and/or the enabled state\n"
    "  verify NAME --type T [--username USER [--password-stdin]]\n"
    "                                        check an account: rejected, valid or premium\n"
    "  remove-account NAME --type T          remove the stored account\n"
    "  install SOURCE                        install a native host plug-in\n"
    "  update NAME                           update a native host plug-in\n"
    "  delete NAME                           remove a native host plug-in\n"
    "\n"
    "options:\n"
    "  --verbose   copy the library's log lines to standard error\n"
    "  --help      this text, or a command's own (COMMAND --help)\n"
    "  --version   the tool's version\n"
    "\n"
    "Passwords are never taken from the command line: --password-stdin reads the first line of\n"
    "standard input; without it the tool asks on the terminal, without echo.\n"
    "\n"
    "exit status: 0 done; 1 the library or a back-end reported an error (\"error CODE: ...\" on\n"
    "standard error); 2 the command line was refused; 3 any other failure.\n";

const CommandSpec* FindCommand(std::string_view name) {
  for (const auto& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

const OptionSpec* FindOption(std::string_view name) {
  for (const auto& option : kOptions) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

bool IsPasswordOption(std::string_view name) {
  return name == "--password" || name == "--pass" || name == "--passwd" || name == "-p";
}

}  // namespace

Arguments ParseArguments(int argc, const char* const* argv) {
  Arguments args;
  unsigned given = 0;
  int operands = 0;
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!options_ended && arg == "--") {
      options_ended = true;
      continue;
    }
    if (options_ended || arg.empty() || arg[0] != '-' || arg == "-") {
      if (args.command.empty()) {
        args.command = std::string(arg);
      } else if (operands++ == 0) {
        args.operand = std::string(arg);
      } else {
        // Not repeated: a stray argument may be a password typed in the wrong place.
        throw UsageError("unexpected argument " + std::to_string(i) + " (" + args.command +
                         " takes at most one operand)");
      }
      continue;
    }
    const std::size_t equals = arg.find('=');
    const std::string_view name = arg.substr(0, equals);
    if (IsPasswordOption(name)) {
      throw UsageError(
          "passwords are not taken from the command line, where other users can read them: use "
          "--password-stdin, or run on a terminal to be asked");
    }
    const OptionSpec* option = name == "-h" ? FindOption("--help") : FindOption(name);
    if (option == nullptr) throw UsageError("unknown option " + std::string(name));
    if (option->takes_value) {
      std::string value;
      if (equals != std::string_view::npos) {
        value = std::string(arg.substr(equals + 1));
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        throw UsageError(std::string(option->name) + " needs a value");
      }
      (option->bit == kType ? args.type : args.username) = std::move(value);
    } else if (equals != std::string_view::npos) {
      throw UsageError(std::string(option->name) + " takes no value");
    }
    if ((given & option->bit) != 0 && option->bit != kVerbose && option->bit != kHelp) {
      throw UsageError(std::string(option->name) + " is given twice");
    }
    given |= option->bit;
  }

  args.verbose = (given & kVerbose) != 0;
  args.help = (given & kHelp) != 0;
  args.version = (given & kVersion) != 0;
  args.json = (given & kJson) != 0;
  args.password_stdin = (given & kPasswordStdin) != 0;
  if ((given & kEnable) != 0) args.enabled = true;
  if ((given & kDisable) != 0) args.enabled = false;

  if (args.command.empty()) {
    if (args.help || args.version) return args;
    throw UsageError("no command given");
  }
  const CommandSpec* command = FindCommand(args.command);
  if (command == nullptr) throw UsageError("unknown command " + args.command);
  if (args.help || args.version) return args;

  for (const auto& option : kOptions) {
    if ((given & option.bit) != 0 && ((kGlobalOptions | command->options) & option.bit) == 0) {
      if (option.bit == kType && command->operand != nullptr && !command->type_required) {
        throw UsageError(args.command + " takes no --type: it works on native hosts only");
      }
      throw UsageError(args.command + " takes no " + option.name);
    }
  }
  if (command->operand == nullptr && operands > 0) {
    throw UsageError(args.command + " takes no operand");
  }
  if (command->operand != nullptr && operands == 0) {
    throw UsageError(args.command + " needs " + command->operand);
  }
  if (command->type_required && !args.type) {
    throw UsageError(args.command + " needs --type vexo or --type pyload");
  }
  if ((given & kEnable) != 0 && (given & kDisable) != 0) {
    throw UsageError("--enable and --disable exclude each other");
  }
  if (args.password_stdin && !args.username) {
    throw UsageError("--password-stdin goes with --username");
  }
  if (args.command == "set" && !args.username && !args.enabled) {
    throw UsageError("set needs --username, --enable or --disable");
  }
  return args;
}

std::string HelpText(const std::string& command) {
  const CommandSpec* entry = FindCommand(command);
  return entry == nullptr ? kGeneralHelp : entry->help;
}

}  // namespace vexodl::cli
