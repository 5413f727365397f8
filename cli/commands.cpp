#include "commands.h"

#include <iostream>

#include <json/value.h>

#include "handler.h"
#include "output.h"
#include "password.h"

namespace vexodl::cli {

namespace {

// Native hosts are the only ones that can be installed, updated and removed.
constexpr char kNativeType[] = "vexo";

// Account holds a user name and its password for one call, and wipes the password afterwards.
class Account {
 public:
  explicit Account(const Arguments& args) {
    if (!args.username) return;
    username_ = *args.username;
    // An empty user name removes the account (set) or asks about none (verify): no password.
    if (username_.empty()) return;
    password_ = args.password_stdin ? ReadPasswordFromStdin()
                                    : PromptForPassword("Password for " + Escape(username_) +
                                                        " on " + Escape(args.operand) + ": ");
  }
  ~Account() { Wipe(password_); }
  Account(const Account&) = delete;
  Account& operator=(const Account&) = delete;

  const std::string& username() const { return username_; }
  const std::string& password() const { return password_; }

 private:
  std::string username_;
  std::string password_;
};

const char* OutcomeWord(int outcome) {
  switch (outcome) {
    case 0:
      return "rejected";
    case 1:
      return "valid";
    case 2:
      return "premium";
    default:
      return "unknown";
  }
}

void List(const Arguments& args, filehosting::Handler& handler) {
  Json::Value hosts(Json::arrayValue);
  handler.List(hosts);
  args.json ? PrintJson(hosts, std::cout) : PrintHostTable(hosts, std::cout);
}

void Get(const Arguments& args, filehosting::Handler& handler) {
  Json::Value host(Json::objectValue);
  handler.Get(host, args.operand, *args.type);
  PrintJson(host, std::cout);
}

void Set(const Arguments& args, filehosting::Handler& handler) {
  Json::Value settings(Json::objectValue);
  Account account(args);
  if (args.username) {
    settings["username"] = account.username();
    settings["password"] = account.password();
  }
  if (args.enabled) settings["enabled"] = *args.enabled;
  handler.Set(args.operand, *args.type, settings);
}

void Verify(const Arguments& args, filehosting::Handler& handler) {
  Account account(args);
  const int outcome =
      handler.Verify(args.operand, *args.type, account.username(), account.password());
  std::cout << OutcomeWord(outcome) << " (" << outcome << ")\n";
}

void RemoveAccount(const Arguments& args, filehosting::Handler& handler) {
  handler.RemoveAccount(args.operand, *args.type);
}

void Install(const Arguments& args, filehosting::Handler& handler) {
  handler.Create(kNativeType, args.operand);
}

void Update(const Arguments& args, filehosting::Handler& handler) {
  handler.Update(args.operand, kNativeType);
}

void Delete(const Arguments& args, filehosting::Handler& handler) {
  handler.Delete(args.operand, kNativeType);
}

constexpr Command kCommands[] = {
    {"list", nullptr, kJson, false, "list [--json]", "every host of both kinds",
     "usage: vexodl-filehosting list [--json]\n"
     "Lists every host, pyLoad's first, then the native ones: a table of name, type, enabled\n"
     "state, account, version, newer version, flags and description, or with --json the\n"
     "library's JSON array of host objects. A back-end that cannot be asked is left out (see\n"
     "--verbose for why).\n",
     List},
    {"get", "NAME", kType, true, "get NAME --type T", "one host as a JSON object",
     "usage: vexodl-filehosting get NAME --type vexo|pyload\n"
     "Prints the host's JSON object.\n",
     Get},
    {"set", "NAME", kType | kUsername | kPasswordStdin | kEnable | kDisable, true,
     "set NAME --type T [--username USER [--password-stdin]] [--enable|--disable]",
     "store the account and/or the enabled state",
     "usage: vexodl-filehosting set NAME --type vexo|pyload [--username USER [--password-stdin]]\n"
     "                              [--enable|--disable]\n"
     "Stores the host's account, then its enabled state. The password is read from the first\n"
     "line of standard input with --password-stdin, otherwise asked for on the terminal without\n"
     "echo; it is never taken from the command line. --username \"\" removes the account.\n",
     Set},
    {"verify", "NAME", kType | kUsername | kPasswordStdin, true,
     "verify NAME --type T [--username USER [--password-stdin]]",
     "check an account: rejected, valid or premium",
     "usage: vexodl-filehosting verify NAME --type vexo|pyload [--username USER "
     "[--password-stdin]]\n"
     "Asks the host's back-end whether the account is valid and prints the outcome as a word\n"
     "and its number: rejected (0), valid (1) or premium (2); each of them exits with status 0.\n"
     "The password is read as for set. Without --username, an empty account is verified.\n",
     Verify},
    {"remove-account", "NAME", kType, true, "remove-account NAME --type T",
     "remove the stored account",
     "usage: vexodl-filehosting remove-account NAME --type vexo|pyload\n"
     "Removes the account stored for the host.\n",
     RemoveAccount},
    {"install", "SOURCE", 0, false, "install SOURCE", "install a native host plug-in",
     "usage: vexodl-filehosting install SOURCE\n"
     "Installs a native host plug-in from SOURCE.\n",
     Install},
    {"update", "NAME", 0, false, "update NAME", "update a native host plug-in",
     "usage: vexodl-filehosting update NAME\n"
     "Updates the native host plug-in NAME from the update server.\n",
     Update},
    {"delete", "NAME", 0, false, "delete NAME", "remove a native host plug-in",
     "usage: vexodl-filehosting delete NAME\n"
     "Removes the native host plug-in NAME, with its account and enabled state.\n",
     Delete},
};

constexpr char kHelpHead[] =
    "usage: vexodl-filehosting [--verbose] COMMAND [ARGUMENTS]\n"
    "Manages the file hosts of the vexodl download manager: native hosts (type vexo) and the\n"
    "hosts of pyLoad (type pyload).\n"
    "\n"
    "commands (T, the host's type: vexo or pyload):\n";

constexpr char kHelpTail[] =
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

}  // namespace

const Command* FindCommand(std::string_view name) {
  for (const auto& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

std::string HelpText(const std::string& command) {
  if (const Command* entry = FindCommand(command)) return entry->help;
  // Summaries start in one column; a synopsis too long to leave room has its summary below it.
  constexpr std::size_t kSummaryColumn = 40;
  std::string text = kHelpHead;
  for (const Command& entry : kCommands) {
    std::string line = "  " + std::string(entry.synopsis);
    line += line.size() + 2 <= kSummaryColumn ? std::string(kSummaryColumn - line.size(), ' ')
                                              : "\n" + std::string(kSummaryColumn, ' ');
    text += line + entry.summary + "\n";
  }
  return text + kHelpTail;
}

}  // namespace vexodl::cli
