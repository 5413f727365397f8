#include "program_client.h"

#include <filesystem>
#include <system_error>

#include "program_runner.h"
#include "trusted_path.h"

namespace vexodl::pyload::internal {

std::optional<std::string> ExchangeWithProgram(const std::string& program,
                                               const std::string& request,
                                               std::chrono::milliseconds timeout,
                                               std::size_t max_answer_bytes,
                                               ChannelFailure* failure) {
  std::error_code error;
  const std::string path = std::filesystem::absolute(program, error).string();
  if (error) {
    *failure = {"cannot find " + Printable(program) + ": " + error.message()};
    return std::nullopt;
  }
  const std::string shown = Printable(path);
  // The program is a file, so no folder is at or below it: the sticky bit excuses each folder
  // above it, never the program.
  const common::PathTrust trust = common::CheckTrustedPath(path, path);
  switch (trust.verdict) {
    case common::PathTrust::Verdict::kTrusted:
      break;
    case common::PathTrust::Verdict::kMissing:
      *failure = {shown + " does not exist", /*absent=*/true};
      return std::nullopt;
    case common::PathTrust::Verdict::kFailed:
      *failure = {"refused the program " + shown + ": cannot check " + Printable(trust.where) +
                  ": " + std::generic_category().message(trust.error)};
      return std::nullopt;
    case common::PathTrust::Verdict::kOwner:
    case common::PathTrust::Verdict::kWritable:
      *failure = {"refused the program " + shown + ": " +
                  common::DescribeDistrust(trust, "", &Printable)};
      return std::nullopt;
  }
  common::ProgramRun run = common::RunProgramFully(path, request, timeout, max_answer_bytes);
  const std::string why = common::WhyNoAnswer(run, shown, timeout, max_answer_bytes);
  if (why.empty()) return std::move(run.output);
  *failure = {why};
  return std::nullopt;
}

}  // namespace vexodl::pyload::internal
