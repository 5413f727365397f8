#include "program_client.h"

#include <filesystem>
#include <system_error>

#include "log.h"
#include "program_runner.h"
#include "trusted_path.h"

namespace vexodl::pyload::internal {

std::optional<std::string> ExchangeWithProgram(const std::string& program,
                                               const std::string& request,
                                               std::chrono::milliseconds timeout,
                                               std::size_t max_answer_bytes) {
  std::error_code error;
  const std::string path = std::filesystem::absolute(program, error).string();
  if (error) return std::nullopt;
  // The program is a file, so no folder is at or below it: the sticky bit excuses each folder
  // above it, never the program.
  const common::PathTrust trust = common::CheckTrustedPath(path, path);
  switch (trust.verdict) {
    case common::PathTrust::Verdict::kTrusted:
      return common::RunProgram(path, request, timeout, max_answer_bytes);
    case common::PathTrust::Verdict::kMissing:
      return std::nullopt;  // pyLoad is not installed: no news worth a log line
    case common::PathTrust::Verdict::kFailed:
      LogError("refused the program " + Printable(path) + ": cannot check " +
               Printable(trust.where) + ": " + std::generic_category().message(trust.error));
      return std::nullopt;
    case common::PathTrust::Verdict::kOwner:
    case common::PathTrust::Verdict::kWritable:
      break;
  }
  LogError("refused the program " + Printable(path) + ": " +
           common::DescribeDistrust(trust, "", &Printable));
  return std::nullopt;
}

}  // namespace vexodl::pyload::internal
