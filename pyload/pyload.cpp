// libvexodlpyload: the pyLoad RPC client over pyLoad's Unix domain socket and its command-line
// program. Both channels carry the same JSON requests (docs/pyload-protocol.md); a channel that
// cannot get a well-formed answer reports failure through its result, never by throwing, and says
// why in one log line.
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
#include "log.h"
#include "program_client.h"
#include "protocol.h"
#include "settings.h"
#include "socket_client.h"

namespace vexodl::pyload {

namespace {

using internal::Settings;

// Transport carries one request text to pyLoad and returns the whole answer text, or nothing
// when the channel failed, saying why in `*failure`.
class Transport {
 public:
  virtual ~Transport() = default;
  virtual std::optional<std::string> Exchange(const std::string& request,
                                              internal::ChannelFailure* failure) = 0;
};

class SocketTransport : public Transport {
 public:
  explicit SocketTransport(Settings settings) : settings_(std::move(settings)) {}
  std::optional<std::string> Exchange(const std::string& request,
                                      internal::ChannelFailure* failure) override {
    return internal::ExchangeOverUnixSocket(settings_.socket_path, settings_.socket_uid, request,
                                            settings_.connect_timeout, settings_.socket_timeout,
                                            settings_.max_answer_bytes, failure);
  }

 private:
  const Settings settings_;
};

class ProgramTransport : public Transport {
 public:
  explicit ProgramTransport(Settings settings) : settings_(std::move(settings)) {}
  std::optional<std::string> Exchange(const std::string& request,
                                      internal::ChannelFailure* failure) override {
    return internal::ExchangeWithProgram(settings_.program_path, request, settings_.program_timeout,
                                         settings_.max_answer_bytes, failure);
  }

 private:
  const Settings settings_;
};

// The readiness probe: the same request over the socket, with the readiness deadlines.
class ReadinessTransport : public Transport {
 public:
  explicit ReadinessTransport(Settings settings) : settings_(std::move(settings)) {}
  std::optional<std::string> Exchange(const std::string& request,
                                      internal::ChannelFailure* failure) override {
    return internal::ExchangeOverUnixSocket(settings_.socket_path, settings_.socket_uid, request,
                                            settings_.ready_timeout, settings_.ready_timeout,
                                            settings_.max_answer_bytes, failure);
  }

 private:
  const Settings settings_;
};

// Sends request `method` about plug-in `plugin` ("" when it names none) with `params`, and gives
// its result to `take`, which says whether the result has the method's shape. Whatever keeps the
// request from succeeding (a request that cannot be written, a channel that fails, pyLoad's
// error, a result of another shape) is logged as the request's one line, and false returned.
template <typename Take>
bool Call(Transport& transport, const char* method, const std::string& plugin,
          const Json::Value& params, Take&& take) {
  internal::ChannelFailure failure;
  const std::optional<std::string> request = internal::RequestText(method, params, &failure.cause);
  const std::optional<std::string> answer =
      request ? transport.Exchange(*request, &failure) : std::nullopt;
  if (answer) {
    std::optional<Json::Value> result = internal::ResultOf(*answer, &failure.cause);
    if (result && take(std::move(*result))) return true;
    if (result) failure.cause = "pyLoad's result does not fit " + std::string(method);
  }
  internal::LogFailure(method, plugin, failure);
  return false;
}

Json::Value Params() { return Json::Value(Json::objectValue); }

bool IsDone(Json::Value&& result) { return internal::IsDone(result); }

bool UpdateAccountOver(Transport& transport, const MethodUpdateAccount& method) {
  Json::Value params = Params();
  params["plugin"] = method.host;
  params["login"] = method.username;
  params["password"] = method.password;
  return Call(transport, "update_account", method.host, params, IsDone);
}

bool EnableAccountOver(Transport& transport, const MethodEnableAccount& method) {
  Json::Value params = Params();
  params["plugin"] = method.host;
  params["enabled"] = method.enabled;
  return Call(transport, "enable_account", method.host, params, IsDone);
}

int VerifyAccountOver(Transport& transport, const MethodVerifyAccount& method) {
  Json::Value params = Params();
  params["plugin"] = method.host;
  params["login"] = method.username;
  params["password"] = method.password;
  int verification = 0;
  Call(transport, "verify_account", method.host, params, [&verification](Json::Value&& result) {
    verification = internal::VerificationOf(result);
    return verification != 0;
  });
  return verification;
}

bool GetAccountsOver(Transport& transport, Json::Value& out, const MethodGetAccounts& method) {
  Json::Value params = Params();
  params["refresh"] = method.refresh;
  return Call(transport, "get_accounts", "", params, [&out](Json::Value&& result) {
    return internal::TakeAccounts(std::move(result), &out);
  });
}

}  // namespace

bool Utils::IsPyLoadDomainSocketReady() {
  Settings settings;
  try {
    settings = internal::SettingsFromEnvironment();
  } catch (const VexoError&) {
    return false;  // a socket that cannot be named cannot be used
  }
  ReadinessTransport transport(std::move(settings));
  return Call(transport, "get_server_version", "", Params(),
              [](Json::Value&& result) { return internal::IsServerVersion(result); });
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
  return Call(impl_->transport, "remove_account", method.host, params, IsDone);
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
