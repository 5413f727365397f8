// vexodl-filehosting: the operations of vexodl::filehosting::Handler from a shell. Exit status:
// 0 done, 1 an error of the library or a back-end (reported as "error CODE: message"), 2 a command
// line that is refused, 3 any other failure.
#include <syslog.h>

#include <exception>
#include <iostream>
#include <string>

#include <json/value.h>

#include "arguments.h"
#include "error/vexo_error.h"
#include "handler.h"
#include "output.h"
#include "password.h"

#ifndef VEXODL_CLI_VERSION
#define VEXODL_CLI_VERSION "unknown"
#endif

namespace vexodl::cli {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 3;

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

void Run(const Arguments& args, filehosting::Handler& handler) {
  const std::string& command = args.command;
  if (command == "list") {
    Json::Value hosts(Json::arrayValue);
    handler.List(hosts);
    args.json ? PrintJson(hosts, std::cout) : PrintHostTable(hosts, std::cout);
  } else if (command == "get") {
    Json::Value host(Json::objectValue);
    handler.Get(host, args.operand, *args.type);
    PrintJson(host, std::cout);
  } else if (command == "set") {
    Json::Value settings(Json::objectValue);
    Account account(args);
    if (args.username) {
      settings["username"] = account.username();
      settings["password"] = account.password();
    }
    if (args.enabled) settings["enabled"] = *args.enabled;
    handler.Set(args.operand, *args.type, settings);
  } else if (command == "verify") {
    Account account(args);
    const int outcome =
        handler.Verify(args.operand, *args.type, account.username(), account.password());
    std::cout << OutcomeWord(outcome) << " (" << outcome << ")\n";
  } else if (command == "remove-account") {
    handler.RemoveAccount(args.operand, *args.type);
  } else if (command == "install") {
    handler.Create(kNativeType, args.operand);
  } else if (command == "update") {
    handler.Update(args.operand, kNativeType);
  } else if (command == "delete") {
    handler.Delete(args.operand, kNativeType);
  }
}

int Main(int argc, const char* const* argv) {
  Arguments args;
  try {
    args = ParseArguments(argc, argv);
  } catch (const UsageError& error) {
    std::cerr << "vexodl-filehosting: " << error.what() << "\nTry 'vexodl-filehosting --help'.\n";
    return kExitUsage;
  }
  if (args.version) {
    std::cout << "vexodl-filehosting " << VEXODL_CLI_VERSION << "\n";
    return kExitOk;
  }
  if (args.help) {
    std::cout << HelpText(args.command);
    return kExitOk;
  }
  if (args.verbose) {
    // The library logs with syslog(); LOG_PERROR copies every line to standard error as well.
    ::openlog("vexodl-filehosting", LOG_PERROR, LOG_USER);
  }

  int status = kExitOk;
  try {
    filehosting::Handler handler;
    Run(args, handler);
  } catch (const VexoError& error) {
    std::cerr << ErrorLine(error.code, error.what());
    status = kExitError;
  } catch (_tag_VEXODL_ERROR_CODE code) {
    // The native install reports a missing source as the bare code, not as a VexoError.
    std::cerr << ErrorLine(code, "");
    status = kExitError;
  } catch (const UsageError& error) {
    std::cerr << "vexodl-filehosting: " << error.what() << "\n";
    status = kExitUsage;
  } catch (const Json::LogicError& error) {
    std::cerr << "vexodl-filehosting: the library refused a JSON value: " << Escape(error.what())
              << "\n";
    status = kExitFailure;
  } catch (const std::exception& error) {
    std::cerr << "vexodl-filehosting: " << Escape(error.what()) << "\n";
    status = kExitFailure;
  } catch (...) {
    std::cerr << "vexodl-filehosting: the library threw an exception of unknown type\n";
    status = kExitFailure;
  }
  std::cout.flush();
  if (!std::cout) {
    std::cerr << "vexodl-filehosting: cannot write to standard output\n";
    return kExitFailure;
  }
  if (args.verbose) ::closelog();
  return status;
}

}  // namespace

}  // namespace vexodl::cli

int main(int argc, char** argv) { return vexodl::cli::Main(argc, argv); }
