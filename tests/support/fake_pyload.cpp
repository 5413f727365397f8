// A fake of the pyLoad RPC client: records readiness questions and requests with their channel,
// and answers as the test scripted it.
#include "outside/pyload.h"

#include "fake_pyload.h"

namespace vexodl::fake {

Script& Pyload() {
  static Script script(1, {{"Ready", 0}});
  return script;
}

}  // namespace vexodl::fake

namespace vexodl::pyload {

namespace {

using fake::Quote;

// How a request is recorded: its method and arguments.
std::string Text(const MethodUpdateAccount& m) {
  return "UpdateAccount(" + Quote(m.host) + ", " + Quote(m.username) + ", " + Quote(m.password) +
         ")";
}
std::string Text(const MethodVerifyAccount& m) {
  return "VerifyAccount(" + Quote(m.host) + ", " + Quote(m.username) + ", " + Quote(m.password) +
         ")";
}
std::string Text(const MethodEnableAccount& m) {
  return "EnableAccount(" + Quote(m.host) + ", " + (m.enabled ? "true" : "false") + ")";
}
std::string Text(const MethodRemoveAccount& m) { return "RemoveAccount(" + Quote(m.host) + ")"; }
std::string Text(const MethodGetAccounts& m) {
  return std::string("GetAccounts(") + (m.refresh ? "true" : "false") + ")";
}

// One request on `channel`, recorded as "<channel>.<method>(<args>)" and answered as the script
// says for "<channel>.<method>".
template <typename Method>
int Ask(const char* channel, const Method& request, Json::Value* out = nullptr) {
  const std::string event = std::string(channel) + "." + Text(request);
  return fake::Pyload().Run(event.substr(0, event.find('(')), event, out);
}

constexpr char kSocket[] = "DomainSocketHandler";
constexpr char kCli[] = "CommandlineHandler";

}  // namespace

bool Utils::IsPyLoadDomainSocketReady() {
  return fake::Pyload().Run("Ready", "IsPyLoadDomainSocketReady()") != 0;
}

namespace rpc {

Base::~Base() = default;

struct DomainSocketHandler::Impl {};
struct CommandlineHandler::Impl {};

DomainSocketHandler::DomainSocketHandler() : impl_(new Impl) {}
DomainSocketHandler::~DomainSocketHandler() = default;
bool DomainSocketHandler::UpdateAccount(const MethodUpdateAccount& m) { return Ask(kSocket, m); }
bool DomainSocketHandler::EnableAccount(const MethodEnableAccount& m) { return Ask(kSocket, m); }
int DomainSocketHandler::VerifyAccount(const MethodVerifyAccount& m) { return Ask(kSocket, m); }
bool DomainSocketHandler::GetAccounts(Json::Value& out, const MethodGetAccounts& m) {
  return Ask(kSocket, m, &out);
}
bool DomainSocketHandler::RemoveAccount(const MethodRemoveAccount& m) { return Ask(kSocket, m); }

CommandlineHandler::CommandlineHandler() : impl_(new Impl) {}
CommandlineHandler::~CommandlineHandler() = default;
bool CommandlineHandler::UpdateAccount(const MethodUpdateAccount& m) { return Ask(kCli, m); }
bool CommandlineHandler::EnableAccount(const MethodEnableAccount& m) { return Ask(kCli, m); }
int CommandlineHandler::VerifyAccount(const MethodVerifyAccount& m) { return Ask(kCli, m); }
bool CommandlineHandler::GetAccounts(Json::Value& out, const MethodGetAccounts& m) {
  return Ask(kCli, m, &out);
}

}  // namespace rpc
}  // namespace vexodl::pyload
