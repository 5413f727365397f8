#include "commands.h"

#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "error/vexo_error.h"
#include "escape.h"
#include "handler.h"
#include "host/pyload.h"
#include "host/vexo.h"
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
    // An empty user name removes the account (set; verify refuses one): no password.
    if (username_.empty()) return;
    password_ = args.password_stdin
                    ? ReadPasswordFromStdin()
                    : PromptForPassword("Password for " + common::Escape(username_) + " on " +
                                        common::Escape(args.operand) + ": ");
    // The library would refuse it (528): refused here, as a password that is not given is.
    if (password_.empty()) throw UsageError("the password is empty, and a user name needs one");
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
    default:
      return "premium";  // the library gives 0, 1 or 2, else throws
  }
}

using HostList = std::vector<std::shared_ptr<filehosting::host::Base>>;

// Appends the JSON object of each host of `hosts` to `out`, as the library's List does.
void Append(const HostList& hosts, Json::Value& out) {
  for (const auto& host : hosts) {
    Json::Value object;
    host->toJson(object);
    out.append(std::move(object));
  }
}

// Whether pyLoad's socket answers get_accounts, asked through the library's channel. The tool
// does not link the pyLoad client, whose library alone holds the channel's type information: the
// check of a virtual call's dynamic type (UBSan's vptr) would need it, so this call goes without.
__attribute__((no_sanitize("vptr"))) bool SocketAnswers() {
  Json::Value accounts;
  return filehosting::host::GetDomainSocketHandler()->GetAccounts(accounts, {});
}

// Whether pyLoad is simply not here, now that its catalogue, read over pyLoad's program, failed
// for `program`: the pyLoad client found no program (its line at LOG_INFO), and finds nothing at
// pyLoad's socket either. Says what each channel found into `why`.
bool PyloadIsAbsent(const Report& report, const std::optional<BackEndCause>& program,
                    std::string* why) {
  if (!program || !program->absent) return false;
  const std::size_t socket_mark = report.Mark();
  try {
    if (SocketAnswers()) return false;
  } catch (const VexoError&) {
    return false;  // settings that name no socket; the program would have thrown as well
  }
  const std::optional<BackEndCause> socket = report.Cause(socket_mark, 0);
  if (!socket || !socket->absent) return false;
  *why = program->text + ", " + socket->text;
  return true;
}

// The library's List, one back-end at a time: the same hosts in the same order, a back-end that
// fails left out as the library leaves it out, but said, once, with its cause. A machine without
// pyLoad is no failure: a note with --verbose.
int List(const Arguments& args, filehosting::Handler& /*handler*/, Report& report) {
  using filehosting::host::Pyload;
  using filehosting::host::Vexo;
  Json::Value hosts(Json::arrayValue);
  int status = kExitOk;
  const std::size_t pyload_mark = report.Mark();
  try {
    Append(Pyload::ListSupportedHosts(), hosts);
  } catch (const VexoError& error) {
    const std::optional<BackEndCause> cause = report.Cause(pyload_mark, error.code);
    std::string absent;
    if (*error.what() == '\0' && PyloadIsAbsent(report, cause, &absent)) {
      report.Note("no pyLoad hosts, as pyLoad is not here: " + absent);
    } else {
      report.LeftOut("pyLoad hosts", error.code, error.what(), cause);
      status = kExitError;
    }
  }
  const std::size_t native_mark = report.Mark();
  try {
    Append(Vexo::ListSupportedHosts(), hosts);
  } catch (const VexoError& error) {
    report.LeftOut("native hosts", error.code, error.what(), report.Cause(native_mark, error.code));
    status = kExitError;
  }
  args.json ? PrintJson(hosts, std::cout) : PrintHostTable(hosts, std::cout);
  return status;
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
  std::cout << OutcomeWord(outcome) << "\n";
  // `if vexodl-filehosting verify ...; then` holds for an account that can be used.
  return outcome == 0 ? kExitRejected : kExitOk;
}

int RemoveAccount(const Arguments& args, filehosting::Handler& handler, Report& /*report*/) {
  handler.RemoveAccount(args.operand, *args.type);
  return kExitOk;
}

// Prints, one a line, what the native service says it changed since `mark`, unless --quiet: the
// names and versions of what it did, rather than a listing before and after, which another writer
// may change in between. A service that logs no changes prints nothing.
int SayChanges(const Arguments& args, const Report& report, std::size_t mark) {
  if (args.quiet) return kExitOk;
  for (const std::string& change : report.Changes(mark))
    std::cout << common::Escape(change) << "\n";
  return kExitOk;
}

int Install(const Arguments& args, filehosting::Handler& handler, Report& report) {
  const std::size_t mark = report.Mark();
  handler.Create(kNativeType, args.operand);
  return SayChanges(args, report, mark);
}

int Update(const Arguments& args, filehosting::Handler& handler, Report& report) {
  const std::size_t mark = report.Mark();
  handler.Update(args.operand, kNativeType);
  return SayChanges(args, report, mark);
}

int Delete(const Arguments& args, filehosting::Handler& handler, Report& report) {
  const std::size_t mark = report.Mark();
  handler.Delete(args.operand, kNativeType);
  return SayChanges(args, report, mark);
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
