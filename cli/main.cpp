// vexodl-filehosting: the operations of vexodl::filehosting::Handler from a shell. Exit status:
// 0 done, 1 an error of the library or a back-end (reported as "error CODE: message"), 2 a command
// line that is refused, 3 any other failure.
#include <syslog.h>

#include <exception>
#include <iostream>
#include <string>

#include <json/value.h>

#include "arguments.h"
#include "commands.h"
#include "error/vexo_error.h"
#include "handler.h"
#include "output.h"

#ifndef VEXODL_CLI_VERSION
#define VEXODL_CLI_VERSION "unknown"
#endif

namespace vexodl::cli {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 3;

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
  // The library logs with syslog(), and only what fails: LOG_PERROR copies each line to standard
  // error, or a back-end left out of `list` would go unmentioned.
  ::openlog("vexodl-filehosting", args.quiet ? 0 : LOG_PERROR, LOG_USER);

  int status = kExitOk;
  try {
    filehosting::Handler handler;
    FindCommand(args.command)->run(args, handler);
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
  ::closelog();
  return status;
}

}  // namespace

}  // namespace vexodl::cli

int main(int argc, char** argv) { return vexodl::cli::Main(argc, argv); }
