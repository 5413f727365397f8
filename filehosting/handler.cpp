#include "handler.h"

#include <syslog.h>

#include <iterator>
#include <utility>

#include "error/vexo_error.h"
#include "host/base.h"
#include "host/catalogue.h"
#include "host/json_member.h"
#include "host/pyload.h"
#include "host/vexo.h"

namespace vexodl::filehosting {

namespace {

// The name that log lines give this file, whatever directory the build ran in.
constexpr char kSourceFile[] = "handler.cpp";

constexpr char kPyloadType[] = "pyload";
constexpr char kVexoType[] = "vexo";

using HostPtr = std::shared_ptr<host::Base>;

// Takes ownership of a host that GetCorrespondingHost made; the host is destroyed if this fails.
HostPtr Own(host::Base* host) { return HostPtr(host); }

// A user name is worthless without its password; an empty user name passes whatever the password.
void RequirePasswordWithUserName(const std::string& username, const std::string& password) {
  if (!username.empty() && password.empty()) throw VexoError(VEXODL_ERR_PASSWORD_REQUIRED, "");
}

// Runs `list`, the listing of back-end `kind`; a VexoError from it is logged, and makes it
// contribute nothing: returns false.
template <typename List>
bool ListOneBackEnd(const char* kind, List list) {
  try {
    list();
    return true;
  } catch (const VexoError& error) {
    syslog(LOG_ERR, "%s:%d Failed to list hosts of %s. Error: %d", kSourceFile, __LINE__, kind,
           error.code);
    return false;
  }
}

}  // namespace

Handler::Handler() = default;

Handler::~Handler() = default;

host::Base* Handler::GetCorrespondingHost(const std::string& name, const std::string& type) {
  if (type == kPyloadType) return new host::Pyload(name);
  if (type == kVexoType) return new host::Vexo(name);
  throw VexoError(VEXODL_ERR_HOST_TYPE, "");
}

int Handler::Verify(const std::string& name, const std::string& type, const std::string& username,
                    const std::string& password) {
  HostPtr host = Own(GetCorrespondingHost(name, type));
  RequirePasswordWithUserName(username, password);
  host->username = username;
  host->password = password;
  const int result = host->VerifyAccount();
  if (result < 0 || result > 2) throw VexoError(VEXODL_ERR_VERIFY_ACCOUNT, "");
  return result;
}

void Handler::RemoveAccount(const std::string& name, const std::string& type) {
  Own(GetCorrespondingHost(name, type))->RemoveAccount();
}

void Handler::Update(const std::string& name, const std::string& type) {
  Own(GetCorrespondingHost(name, type))->Update();
}

void Handler::Delete(const std::string& name, const std::string& type) {
  Own(GetCorrespondingHost(name, type))->Delete();
}

void Handler::Create(const std::string& type, const std::string& source) {
  HostPtr host = Own(GetCorrespondingHost("", type));
  host->source = source;
  host->Create();
}

void Handler::Set(const std::string& name, const std::string& type, const Json::Value& settings) {
  HostPtr host = Own(GetCorrespondingHost(name, type));
  if (!settings.isNull() && !settings.isObject()) {
    throw Json::LogicError("Handler::Set: settings must be a JSON object");
  }
  const Json::Value* username = host::internal::FindMember(settings, "username");
  if (username != nullptr && username->isString()) {
    const Json::Value* password = host::internal::FindMember(settings, "password");
    if (password != nullptr && password->isString()) {
      std::string user = username->asString();
      std::string pass = password->asString();
      RequirePasswordWithUserName(user, pass);
      host->username = std::move(user);
      host->password = std::move(pass);
      host->SaveAccount();
    }
  }
  const Json::Value* enabled = host::internal::FindMember(settings, "enabled");
  if (enabled != nullptr && enabled->isBool()) {
    host->enabled = enabled->asBool();
    host->SaveEnabled();
  }
}

void Handler::Get(Json::Value& out, const std::string& name, const std::string& type) {
  HostPtr host = Own(GetCorrespondingHost(name, type));
  // Refused before the back-end is asked, so a caller's mistake costs no round trip.
  if (!out.isNull() && !out.isObject()) {
    throw Json::LogicError("Handler::Get: the output must be a null value or an object");
  }
  host->Get();
  host->toJson(out);
}

std::vector<std::shared_ptr<host::Base>> Handler::List() {
  std::vector<HostPtr> hosts;
  ListOneBackEnd("pyload", [&] { hosts = host::Pyload::ListSupportedHosts(); });
  ListOneBackEnd("vexo", [&] {
    std::vector<HostPtr> native = host::Vexo::ListSupportedHosts();
    hosts.insert(hosts.end(), std::make_move_iterator(native.begin()),
                 std::make_move_iterator(native.end()));
  });
  return hosts;
}

void Handler::List(Json::Value& out) {
  if (!out.isNull() && !out.isArray()) {
    throw Json::LogicError("Handler::List: the output must be a null value or an array");
  }
  // The same catalogue as List(), written straight into JSON: no record outlives its host, and
  // each back-end's listing is read once. It is built aside, so that a listing that fails with
  // anything but a VexoError leaves `out` as it was, as List() would.
  Json::Value listed;
  ListOneBackEnd("pyload", [&] { host::internal::AppendPyloadHosts(listed); });
  const Json::ArrayIndex pyload_hosts = listed.size();
  if (!ListOneBackEnd("vexo", [&] { host::internal::AppendVexoHosts(listed); })) {
    listed.resize(pyload_hosts);  // a back-end that fails contributes nothing
  }
  if (listed.empty()) return;
  if (out.isNull()) {
    out.swap(listed);
    return;
  }
  for (Json::Value& host : listed) out.append(std::move(host));
}

}  // namespace vexodl::filehosting
