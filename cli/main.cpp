// vexodl-filehosting: the operations of vexodl::filehosting::Handler from a shell. Exit statuses
// are in commands.h; each failure is one line on standard error (report.h).
#include <syslog.h>

#include <cerrno>
#include <exception>
#include <iostream>
#include <string>
#include <system_error>

#include <json/value.h>

#include "arguments.h"
#include "commands.h"
#include "error/vexo_error.h"
#include "escape.h"
#include "handler.h"
#include "output.h"
#include "report.h"

#ifndef VEXODL_CLI_VERSION
#define VEXODL_CLI_VERSION "unknown"
#endif

namespace vexodl::cli {

namespace {

Verbosity VerbosityOf(const Arguments& args) {
  if (args.quiet) return Verbosity::kQuiet;
  return args.verbose ? Verbosity::kVerbose : Verbosity::kNormal;
}

// `status`, once standard output is flushed; a failure (3) when it could not be written, said with
// the system's reason (a full disk, a closed descriptor).
int Flushed(Report& report, int status) {
  std::cout.flush();
  if (std::cout) return status;
  // What the failed write left, at this flush or before: standard output is written last, after
  // every call that could fail.
  const int error = errno;
  report.Failure("cannot write to standard output" +
                 (error != 0 ? ": " + std::generic_category().message(error) : std::string()));
  return kExitFailure;
}

int Main(int argc, const char* const* argv) {
  Arguments args;
  try {
    args = ParseArguments(argc, argv);
  } catch (const UsageError& error) {
    std::cerr << "vexodl-filehosting: " << common::Escape(error.what())
              << "\nTry 'vexodl-filehosting --help'.\n";
    return kExitUsage;
  }
  if (args.version || args.help) {
    std::cout << (args.version ? "vexodl-filehosting " VEXODL_CLI_VERSION "\n"
                               : HelpText(args.command));
    Report report(VerbosityOf(args), std::cerr);
    return Flushed(report, kExitOk);
  }
  // The library and the back-ends log only what fails, with syslog(), which the tool defines
  // (syslog_tap.h): the lines reach syslog as they are, and standard error through `report` alone,
  // escaped. LOG_PERROR would copy them raw, a host name's control characters included.
  ::openlog("vexodl-filehosting", 0, LOG_USER);
  Report report(VerbosityOf(args), std::cerr);

  int status = kExitOk;
  try {
    filehosting::Handler handler;
    status = FindCommand(args.command)->run(args, handler, report);
  } catch (const VexoError& error) {
    report.Error(error.code, error.what());
    status = kExitError;
  } catch (_tag_VEXODL_ERROR_CODE code) {
    // The native install reports a missing source as the bare code, not as a VexoError.
    report.Error(code, "");
    status = kExitError;
  } catch (const UsageError& error) {
    report.Refused(error.what());
    status = kExitUsage;
  } catch (const Json::LogicError& error) {
    report.Failure("the library refused a JSON value: " + std::string(error.what()));
    status = kExitFailure;
  } catch (const std::exception& error) {
    report.Failure(error.what());
    status = kExitFailure;
  } catch (...) {
    report.Failure("the library threw an exception of unknown type");
    status = kExitFailure;
  }
  report.CopyLog();
  status = Flushed(report, status);
  ::closelog();
  return status;
}

}  // namespace

}  // namespace vexodl::cli

int main(int argc, char** argv) { return vexodl::cli::Main(argc, argv); }
