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

std::string Args(const MethodUpdateAccount& m) {
  return Quote(m.host) + ", " + Quote(m.username) + ", " + Quote(m.password);
}
std::string Args(const MethodVerifyAccount& m) {
  return Quote(m.host) + ", " + Quote(m.username) + ", " + Quote(m.password);
}
std::string Args(const MethodEnableAccount& m) {
  return Quote(m.host) + ", " + (m.enabled ? "true" : "false");
}
std::string Args(const MethodRemoveAccount& m) { return Quote(m.host); }
std::string Args(const MethodGetAccounts& m) { return m.refresh ? "true" : "false"; }

// One request on `channel`, recorded as "<channel>.<method>(<args>)".
template <typename Method>
int Request(const char* channel, const char* method, const Method& request,
            Json::Value* out = nullptr) {
  const std::string call = std::string(channel) + "." + method;
  return fake::Pyload().Run(call, call + "(" + Args(request) + ")", out);
}

constexpr char kSocket[] = "DomainSocketHandler";
constexpr char kCommandline[] = "CommandlineHandler";

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
bool DomainSocketHandler::UpdateAccount(const MethodUpdateAccount& m) {
  return Request(kSocket, "UpdateAccount", m) != 0;
}
bool DomainSocketHandler::EnableAccount(const MethodEnableAccount& m) {
  return Request(kSocket, "EnableAccount", m) != 0;
}
int DomainSocketHandler::VerifyAccount(const MethodVerifyAccount& m) {
  return Request(kSocket, "VerifyAccount", m);
}
bool DomainSocketHandler::GetAccounts(Json::Value& out, const MethodGetAccounts& m) {
  return Request(kSocket, "GetAccounts", m, &out) != 0;
}
bool DomainSocketHandler::RemoveAccount(const MethodRemoveAccount& m) {
  return Request(kSocket, "RemoveAccount", m) != 0;
}

CommandlineHandler::CommandlineHandler() : impl_(new Impl) {}
CommandlineHandler::~CommandlineHandler() = default;
bool CommandlineHandler::UpdateAccount(const MethodUpdateAccount& m) {
  return Request(kCommandline, "UpdateAccount", m) != 0;
}
bool CommandlineHandler::EnableAccount(const MethodEnableAccount& m) {
  return Request(kCommandline, "EnableAccount", m) != 0;
}
int CommandlineHandler::VerifyAccount(const MethodVerifyAccount& m) {
  return Request(kCommandline, "VerifyAccount", m);
}
bool CommandlineHandler::GetAccounts(Json::Value& out, const MethodGetAccounts& m) {
  return Request(kCommandline, "GetAccounts", m, &out) != 0;
}

}  // namespace rpc
}  // namespace vexodl::pyload
