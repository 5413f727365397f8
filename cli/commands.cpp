#include "commands.h"

#include <iostream>

#include <json/value.h>

#include "handler.h"
#include "output.h"
#include "password.h"
#include "report.h"

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

int List(const Arguments& args, filehosting::Handler& handler, Report& /*report*/) {
  Json::Value hosts(Json::arrayValue);
  handler.List(hosts);
  args.json ? PrintJson(hosts, std::cout) : PrintHostTable(hosts, std::cout);
  return kExitOk;
}

int Get(const Arguments& args, filehosting::Handler& handler, Report& /*report*/) {
  Json::Value host(Json::objectValue);
  handler.Get(host, args.operand, *args.type);
  PrintJson(host, std::cout);
  return kExitOk;
}

int Set(const Arguments& args, filehosting::Handler& handler, Report& /*report*/) {
  Json::Value settings(Json::objectValue);
  Account account(args);
  if (args.username) {
    settings["username"] = account.username();
    settings["password"] = account.password();
  }
  if (args.enabled) settings["enabled"] = *args.enabled;
  handler.Set(args.operand, *args.type, settings);
  return kExitOk;
}

int Verify(const Arguments& args, filehosting::Handler& handler, Report& /*report*/) {
  Account account(args);
  const int outcome =
      handler.Verify(args.operand, *args.type, account.username(), account.password());
  std::cout << OutcomeWord(outcome) << " (" << outcome << ")\n";
  return kExitOk;
}

int RemoveAccount(const Arguments& args, filehosting::Handler& handler, Report& /*report*/) {
  handler.RemoveAccount(args.operand, *args.type);
  return kExitOk;
}

int Install(const Arguments& args, filehosting::Handler& handler, Report& /*report*/) {
  handler.Create(kNativeType, args.operand);
  return kExitOk;
}

int Update(const Arguments& args, filehosting::Handler& handler, Report& /*report*/) {
  handler.Update(args.operand, kNativeType);
  return kExitOk;
}

int Delete(const Arguments& args, filehosting::Handler& handler, Report& /*report*/) {
  handler.Delete(args.operand, kNativeType);
  return kExitOk;
}

// The table of commands and the general help, with the command functions above in scope.
#include "commands.inc"

}  // namespace

const Command* FindCommand(std::string_view name) {
  for (const auto& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

std::string HelpText(const std::string& command) {
  const Command* entry = FindCommand(command);
  return entry != nullptr ? entry->help : kGeneralHelp;
}

}  // namespace vexodl::cli
