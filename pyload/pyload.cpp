// libvexodlpyload: the pyLoad RPC client over pyLoad's Unix domain socket and its command-line
// program. Both channels carry the same JSON requests (docs/pyload-protocol.md); a channel that
// cannot get a well-formed answer reports failure through its result, never by throwing.
// The library builds with hidden visibility and exports exactly what outside/pyload.h declares,
// which carries no export macro. What that header includes comes first, so that the pragma
// reaches its own declarations only.
#include <json/value.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>

#pragma GCC visibility push(default)
#include "outside/pyload.h"
#pragma GCC visibility pop

#include "error/vexo_error.h"
#include "program_client.h"
#include "protocol.h"
#include "settings.h"
#include "socket_client.h"

namespace vexodl::pyload {

namespace {

using internal::Settings;

// Transport carries one request text to pyLoad and returns the whole answer text, or nothing
// when the channel failed.
class Transport {
 public:
  virtual ~Transport() = default;
  virtual std::optional<std::string> Exchange(const std::string& request) = 0;
};

class SocketTransport : public Transport {
 public:
  explicit SocketTransport(Settings settings) : settings_(std::move(settings)) {}
  std::optional<std::string> Exchange(const std::string& request) override {
    return internal::ExchangeOverUnixSocket(settings_.socket_path, settings_.socket_uid, request,
                                            settings_.connect_timeout, settings_.socket_timeout,
                                            settings_.max_answer_bytes);
  }

 private:
  const Settings settings_;
};

class ProgramTransport : public Transport {
 public:
  explicit ProgramTransport(Settings settings) : settings_(std::move(settings)) {}
  std::optional<std::string> Exchange(const std::string& request) override {
    return internal::ExchangeWithProgram(settings_.program_path, request, settings_.program_timeout,
                                         settings_.max_answer_bytes);
  }

 private:
  const Settings settings_;
};

// The result of `method` with `params`, or nothing when the request could not be written, the
// channel failed, or pyLoad answered with an error or with no answer at all.
std::optional<Json::Value> Call(Transport& transport, const char* method,
                                const Json::Value& params) {
  const std::optional<std::string> request = internal::RequestText(method, params);
  if (!request) return std::nullopt;
  const std::optional<std::string> answer = transport.Exchange(*request);
  if (!answer) return std::nullopt;
  return internal::ResultOf(*answer);
}

Json::Value Params() { return Json::Value(Json::objectValue); }

bool UpdateAccountOver(Transport& transport, const MethodUpdateAccount& method) {
  Json::Value params = Params();
  params["plugin"] = method.host;
  params["login"] = method.username;
  params["password"] = method.password;
  const std::optional<Json::Value> result = Call(transport, "update_account", params);
  return result && internal::IsDone(*result);
}

bool EnableAccountOver(Transport& transport, const MethodEnableAccount& method) {
  Json::Value params = Params();
  params["plugin"] = method.host;
  params["enabled"] = method.enabled;
  const std::optional<Json::Value> result = Call(transport, "enable_account", params);
  return result && internal::IsDone(*result);
}

int VerifyAccountOver(Transport& transport, const MethodVerifyAccount& method) {
  Json::Value params = Params();
  params["plugin"] = method.host;
  params["login"] = method.username;
  params["password"] = method.password;
  const std::optional<Json::Value> result = Call(transport, "verify_account", params);
  return result ? internal::VerificationOf(*result) : 0;
}

bool GetAccountsOver(Transport& transport, Json::Value& out, const MethodGetAccounts& method) {
  Json::Value params = Params();
  params["refresh"] = method.refresh;
  std::optional<Json::Value> result = Call(transport, "get_accounts", params);
  return result && internal::TakeAccounts(std::move(*result), &out);
}

}  // namespace

bool Utils::IsPyLoadDomainSocketReady() {
  Settings settings;
  try {
    settings = internal::SettingsFromEnvironment();
  } catch (const VexoError&) {
    return false;  // a socket that cannot be named cannot be used
  }
  const std::optional<std::string> request = internal::RequestText("get_server_version", Params());
  const std::optional<std::string> answer = internal::ExchangeOverUnixSocket(
      settings.socket_path, settings.socket_uid, *request, settings.ready_timeout,
      settings.ready_timeout, settings.max_answer_bytes);
  if (!answer) return false;
  const std::optional<Json::Value> result = internal::ResultOf(*answer);
  return result && internal::IsServerVersion(*result);
}

namespace rpc {

Base::~Base() = default;

struct DomainSocketHandler::Impl {
  SocketTransport transport;
};

DomainSocketHandler::DomainSocketHandler()
    : impl_(std::make_unique<Impl>(Impl{SocketTransport(internal::SettingsFromEnvironment())})) {}

DomainSocketHandler::~DomainSocketHandler() = default;

bool DomainSocketHandler::UpdateAccount(const MethodUpdateAccount& method) {
  return UpdateAccountOver(impl_->transport, method);
}

bool DomainSocketHandler::EnableAccount(const MethodEnableAccount& method) {
  return EnableAccountOver(impl_->transport, method);
}

int DomainSocketHandler::VerifyAccount(const MethodVerifyAccount& method) {
  return VerifyAccountOver(impl_->transport, method);
}

bool DomainSocketHandler::GetAccounts(Json::Value& out, const MethodGetAccounts& method) {
  return GetAccountsOver(impl_->transport, out, method);
}

bool DomainSocketHandler::RemoveAccount(const MethodRemoveAccount& method) {
  Json::Value params = Params();
  params["plugin"] = method.host;
  const std::optional<Json::Value> result = Call(impl_->transport, "remove_account", params);
  return result && internal::IsDone(*result);
}

struct CommandlineHandler::Impl {
  ProgramTransport transport;
};

CommandlineHandler::CommandlineHandler()
    : impl_(std::make_unique<Impl>(Impl{ProgramTransport(internal::SettingsFromEnvironment())})) {}

CommandlineHandler::~CommandlineHandler() = default;

bool CommandlineHandler::UpdateAccount(const MethodUpdateAccount& method) {
  return UpdateAccountOver(impl_->transport, method);
}

bool CommandlineHandler::EnableAccount(const MethodEnableAccount& method) {
  return EnableAccountOver(impl_->transport, method);
}

int CommandlineHandler::VerifyAccount(const MethodVerifyAccount& method) {
  return VerifyAccountOver(impl_->transport, method);
}

bool CommandlineHandler::GetAccounts(Json::Value& out, const MethodGetAccounts& method) {
  return GetAccountsOver(impl_->transport, out, method);
}

}  // namespace rpc
}  // namespace vexodl::pyload
