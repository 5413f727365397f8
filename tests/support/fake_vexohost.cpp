// A fake of the native host-plugin service: records every call with the host its handler was made
// for, and answers as the test scripted it.
#include "outside/vexohost.h"

#include "fake_vexohost.h"

namespace vexodl::fake {

Script& Vexohost() {
  static Script script(0);
  return script;
}

}  // namespace vexodl::fake

namespace vexodl::vexohost {

struct Handler::Impl {
  std::string host;

  int Call(const char* method, const std::string& args, Json::Value* out = nullptr) const {
    return fake::Vexohost().Run(method, fake::Quote(host) + "." + method + "(" + args + ")", out);
  }
};

Handler::Handler(const std::string& host) : impl_(new Impl{host}) {}
Handler::~Handler() = default;

int Handler::List(Json::Value& out) { return impl_->Call("List", "", &out); }
int Handler::AccountGet(Json::Value& out) { return impl_->Call("AccountGet", "", &out); }
int Handler::AccountSet(const std::string& username, const std::string& password) {
  return impl_->Call("AccountSet", fake::Quote(username) + ", " + fake::Quote(password));
}
int Handler::AccountVerify(Json::Value& info, const std::string& username,
                           const std::string& password) {
  return impl_->Call("AccountVerify", fake::Quote(username) + ", " + fake::Quote(password), &info);
}
int Handler::HostAdd(const std::string& source) {
  return impl_->Call("HostAdd", fake::Quote(source));
}
int Handler::HostDelete() { return impl_->Call("HostDelete", ""); }
int Handler::HostUpdate(const std::string& url) {
  return impl_->Call("HostUpdate", fake::Quote(url));
}
int Handler::HostEnabledSet(bool enabled) {
  return impl_->Call("HostEnabledSet", enabled ? "true" : "false");
}
int Handler::HostRemoveAccount() { return impl_->Call("HostRemoveAccount", ""); }

}  // namespace vexodl::vexohost
