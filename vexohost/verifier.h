#pragma once

#include <chrono>
#include <optional>
#include <string>

#include <json/value.h>

#include "plugin_store.h"
#include "program_runner.h"

namespace vexodl::vexohost::internal {

// The environment variable that overrides kDefaultVerifyTimeout, in milliseconds.
constexpr char kVerifyTimeoutVariable[] = "VEXODL_VEXOHOST_VERIFY_TIMEOUT_MS";
constexpr std::chrono::milliseconds kDefaultVerifyTimeout{30000};
constexpr std::size_t kMaxVerifierAnswerBytes = 64 * 1024;

// The deadline for one verifier run: kVerifyTimeoutVariable when set, else the default. Throws
// kErrSetting when the variable is not a whole number of milliseconds from 1 to 600000.
std::chrono::milliseconds VerifyTimeout();

// The environment variable that names the user verifiers run as where the service runs as root,
// and that user by default: the packages create it.
constexpr char kVerifierUserVariable[] = "VEXODL_VEXOHOST_VERIFIER_USER";
constexpr char kDefaultVerifierUser[] = "vexodl-verify";

// The user verifiers run as: where the service runs as root (euid 0), the one kVerifierUserVariable
// names (kDefaultVerifierUser when it is unset or empty), looked up afresh by every call; nothing
// elsewhere, where they run as the service's user. Throws kErrVerifierUser, naming the user, when
// it does not exist or cannot be looked up: never root instead.
std::optional<common::RunAs> VerifierUser();

// RunVerifier asks the verifier program of `plugin` about an account, as docs/vexohost.md
// describes: the program runs in its plug-in's folder, as `user` where one is given, gets
// {"username": ..., "password": ...} on its standard input (never in its arguments or environment)
// and answers {"result": 0|1|2, "details": ...} on its standard output. Returns the result, or -1
// when the plug-in has no verifier or the run failed (could not start, outlived `timeout` and was
// killed, died, exited with another status than 0, answered something else, or its reaper was
// killed). `info` receives {"verifier", "result", "details"} or {"verifier", "error"}; nothing in
// it comes from the password.
int RunVerifier(const Plugin& plugin, const std::string& username, const std::string& password,
                std::chrono::milliseconds timeout, const std::optional<common::RunAs>& user,
                Json::Value* info);

}  // namespace vexodl::vexohost::internal
