// A fake of the native host-plugin service: records every constructor, call and destructor, and
// answers as the test scripted it.
#include "outside/vexohost.h"

#include "fake_vexohost.h"

namespace vexodl::fake {

Script& Vexohost() {
  static Script script(0);
  return script;
}

}  // namespace vexodl::fake

namespace vexodl::vexohost {

using fake::Compact;
using fake::Quote;
using fake::Vexohost;

struct Handler::Impl {
  std::string host;
};

Handler::Handler(const std::string& host) : impl_(new Impl{host}) {
  Vexohost().Run("Handler", "Handler(" + Quote(host) + ")");
}

Handler::~Handler() { Vexohost().Record("~Handler(" + Quote(impl_->host) + ")"); }

int Handler::List(Json::Value& out) {
  return Vexohost().Run("List", "List(" + Compact(out) + ")", &out);
}

int Handler::AccountGet(Json::Value& out) {
  return Vexohost().Run("AccountGet", "AccountGet(" + Compact(out) + ")", &out);
}

int Handler::AccountSet(const std::string& username, const std::string& password) {
  return Vexohost().Run("AccountSet",
                        "AccountSet(" + Quote(username) + ", " + Quote(password) + ")");
}

int Handler::AccountVerify(Json::Value& info, const std::string& username,
                           const std::string& password) {
  return Vexohost().Run(
      "AccountVerify",
      "AccountVerify(" + Compact(info) + ", " + Quote(username) + ", " + Quote(password) + ")",
      &info);
}

int Handler::HostAdd(const std::string& source) {
  return Vexohost().Run("HostAdd", "HostAdd(" + Quote(source) + ")");
}

int Handler::HostDelete() { return Vexohost().Run("HostDelete", "HostDelete()"); }

int Handler::HostUpdate(const std::string& url) {
  return Vexohost().Run("HostUpdate", "HostUpdate(" + Quote(url) + ")");
}

int Handler::HostEnabledSet(bool enabled) {
  return Vexohost().Run("HostEnabledSet",
                        std::string("HostEnabledSet(") + (enabled ? "true" : "false") + ")");
}

int Handler::HostRemoveAccount() {
  return Vexohost().Run("HostRemoveAccount", "HostRemoveAccount()");
}

}  // namespace vexodl::vexohost
