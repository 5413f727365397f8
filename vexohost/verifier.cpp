#include "verifier.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <vector>

#include "errors.h"
#include "json_line.h"
#include "program_runner.h"
#include "setting.h"
#include "settings.h"
#include "strict_json.h"

namespace vexodl::vexohost::internal {

using common::ProgramRun;

std::chrono::milliseconds VerifyTimeout() {
  return TimeoutSetting(kVerifyTimeoutVariable, kDefaultVerifyTimeout,
                        std::chrono::milliseconds(600000));
}

std::optional<common::RunAs> VerifierUser() {
  if (::geteuid() != 0) return std::nullopt;
  const std::string name(common::Setting(kVerifierUserVariable).value_or(kDefaultVerifierUser));
  // getpwnam_r rather than getpwnam: other threads may look users up meanwhile.
  std::vector<char> buffer(16 * 1024);
  passwd entry{};
  passwd* found = nullptr;
  int error = 0;
  while ((error = ::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found)) ==
             ERANGE &&
         buffer.size() < 1024 * 1024) {
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr) {
    Fail(kErrVerifierUser,
         "verifiers run as user \"" + Printable(name) + "\" (" + kVerifierUserVariable + "), " +
             (error == 0 ? "which does not exist: create it as a system user, or name another"
                         : "who cannot be looked up: " + SystemText(error)));
  }
  return common::RunAs{entry.pw_uid, entry.pw_gid};
}

int RunVerifier(const Plugin& plugin, const std::string& username, const std::string& password,
                std::chrono::milliseconds timeout, const std::optional<common::RunAs>& user,
                Json::Value* info) {
  Json::Value out(Json::objectValue);
  const auto failed = [&](const std::string& why) {
    out["error"] = why;
    info->swap(out);
    return -1;
  };
  if (plugin.manifest.verifier.empty()) {
    return failed("host plug-in \"" + plugin.manifest.name + "\" has no verifier");
  }
  out["verifier"] = plugin.manifest.verifier;

  Json::Value request(Json::objectValue);
  request["username"] = username;
  request["password"] = password;
  const std::string input = common::JsonLine(request);

  // From its own folder, where it finds its files by relative names: as the verifier user it
  // could reach neither that folder nor itself by their paths (the state directory is 0700).
  const ProgramRun run =
      common::RunProgramFully(plugin.folder + "/" + plugin.manifest.verifier, input, timeout,
                              kMaxVerifierAnswerBytes, common::ProgramStart{plugin.folder, user});
  const std::string problem =
      common::WhyNoAnswer(run, "the verifier", timeout, kMaxVerifierAnswerBytes);
  if (!problem.empty()) return failed(problem);

  // Text that is no strict JSON reads as null, which is no answer either.
  Json::Value answer =
      common::ParseStrictJson(run.output, kMaxVerifierAnswerBytes).value_or(Json::Value());
  if (!answer.isObject() || !answer["result"].isInt() || answer["result"].asInt() < 0 ||
      answer["result"].asInt() > 2) {
    // What it wrote is not repeated: a broken verifier might echo its input.
    return failed("the verifier answered no {\"result\": 0, 1 or 2}");
  }
  const int result = answer["result"].asInt();
  out["result"] = result;
  if (answer.isMember("details")) out["details"] = answer["details"];
  info->swap(out);
  return result;
}

}  // namespace vexodl::vexohost::internal
