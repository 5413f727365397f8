#include "host/pyload.h"

#include <syslog.h>

#include <utility>

#include "error/vexo_error.h"
#include "host/catalogue.h"
#include "host/json_member.h"

namespace vexodl::filehosting::host {

namespace {

// The name that log lines give this file, whatever directory the build ran in.
constexpr char kSourceFile[] = "host/pyload.cpp";

const Json::StaticString kValid("valid");
const Json::StaticString kTrafficLeft("trafficleft");

using vexodl::pyload::MethodEnableAccount;
using vexodl::pyload::MethodGetAccounts;
using vexodl::pyload::MethodRemoveAccount;
using vexodl::pyload::MethodUpdateAccount;
using vexodl::pyload::MethodVerifyAccount;
using vexodl::pyload::rpc::CommandlineHandler;
using vexodl::pyload::rpc::DomainSocketHandler;
using Channel = std::shared_ptr<vexodl::pyload::rpc::Base>;

bool DomainSocketReady() { return vexodl::pyload::Utils::IsPyLoadDomainSocketReady(); }

}  // namespace

Channel GetDomainSocketHandler() { return std::make_shared<DomainSocketHandler>(); }

Channel GetCommandlineHandler() { return std::make_shared<CommandlineHandler>(); }

Pyload::Pyload(const std::string& name) : Base(name, "pyload") {
  // pyLoad hosts are never removable: their plug-ins belong to pyLoad.
  removable = false;
  description = "pyLoad Plugin";
  auth_needed = true;
}

Pyload::~Pyload() = default;

void Pyload::Get() {
  Json::Value accounts;
  DomainSocketHandler channel;
  MethodGetAccounts method;
  method.refresh = false;
  if (!channel.GetAccounts(accounts, method)) {
    syslog(LOG_ERR, "%s:%d Failed to get info of accounts", kSourceFile, __LINE__);
    throw VexoError(VEXODL_ERR_ACCOUNT_INFO, "");
  }
  std::string account_type;
  for (const Json::Value& account : accounts) {
    if (internal::ReadNameMember(account, "type", &account_type) && account_type == name) {
      fromJson(account);
      return;
    }
  }
  throw VexoError(VEXODL_ERR_ACCOUNT_INFO, "");
}

void Pyload::SaveAccount() {
  if (!DomainSocketReady()) {
    // The command line has no removal: what it is given replaces the account, even when empty.
    SaveAccountImp(GetCommandlineHandler());
    return;
  }
  RemoveAccount();
  if (username.empty() && password.empty()) return;  // the account is cleared
  SaveAccountImp(GetDomainSocketHandler());
}

void Pyload::SaveEnabled() {
  SaveEnabledImp(DomainSocketReady() ? GetDomainSocketHandler() : GetCommandlineHandler());
}

void Pyload::Create() { throw VexoError(VEXODL_ERR_NOT_SUPPORTED, ""); }

void Pyload::Delete() { throw VexoError(VEXODL_ERR_NOT_SUPPORTED, ""); }

void Pyload::Update() { throw VexoError(VEXODL_ERR_NOT_SUPPORTED, ""); }

void Pyload::RemoveAccount() {
  // Only pyLoad's daemon can remove an account, so this asks the socket without testing it first.
  DomainSocketHandler channel;
  MethodRemoveAccount method;
  method.host = name;
  if (!channel.RemoveAccount(method)) {
    syslog(LOG_ERR, "%s:%d Failed to remove account %s", kSourceFile, __LINE__, name.c_str());
    throw VexoError(VEXODL_ERR_REMOVE_ACCOUNT, "");
  }
}

int Pyload::VerifyAccount() { return VerifyAccountImp(GetCommandlineHandler()); }

void Pyload::SaveAccountImp(Channel channel) {
  MethodUpdateAccount method;
  method.host = name;
  method.username = username;
  method.password = password;
  if (!channel->UpdateAccount(method)) {
    syslog(LOG_ERR, "%s:%d Failed to set account %s", kSourceFile, __LINE__, name.c_str());
    throw VexoError(VEXODL_ERR_SET_ACCOUNT, "");
  }
}

void Pyload::SaveEnabledImp(Channel channel) {
  MethodEnableAccount method;
  method.host = name;
  method.enabled = enabled;
  if (!channel->EnableAccount(method)) {
    syslog(LOG_ERR, "%s:%d Failed to set enabled %s", kSourceFile, __LINE__, name.c_str());
    throw VexoError(VEXODL_ERR_SET_ENABLED, "");
  }
}

int Pyload::VerifyAccountImp(Channel channel) {
  MethodVerifyAccount method;
  method.host = name;
  method.username = username;
  method.password = password;
  // pyLoad answers 1, 2 and 3 for what the library calls 0, 1 and 2.
  switch (channel->VerifyAccount(method)) {
    case 1:
      return 0;
    case 2:
      return 1;
    case 3:
      return 2;
    default:
      syslog(LOG_ERR, "%s:%d Failed to verify account %s", kSourceFile, __LINE__, name.c_str());
      throw VexoError(VEXODL_ERR_VERIFY_ACCOUNT, "");
  }
}

void Pyload::toJson(Json::Value& out) {
  enabled = use_premium;
  Base::toJson(out);
  if (username.empty()) return;
  out[kValid] = valid;
  out[kTrafficLeft] = trafficleft;
}

void Pyload::fromJson(const Json::Value& account) {
  auto read_bool = [&account](const auto& key, bool* field) {
    const Json::Value* member = internal::FindMember(account, key);
    if (member != nullptr && member->isBool()) *field = member->asBool();
  };
  if (const Json::Value* member = internal::FindMember(account, "login")) {
    username = member->asString();
  }
  read_bool("valid", &valid);
  read_bool("premium", &premium);
  if (const Json::Value* member = internal::FindMember(account, "trafficleft")) {
    trafficleft = member->asString();
  }
  read_bool("use_premium", &use_premium);
  read_bool("can_be_disabled", &can_be_disabled);
  if (const Json::Value* member = internal::FindMember(account, "version")) {
    version = member->asString();
  }
  read_bool("is_tested", &is_tested);
}

namespace {

// Calls `visit(name, account)` for every element of pyLoad's account list (read over the command
// line) that names a plug-in, in list order; throws VexoError 1614 when the list can't be read.
template <typename Visit>
void VisitListedAccounts(Visit&& visit) {
  Json::Value accounts;
  CommandlineHandler channel;
  MethodGetAccounts method;
  method.refresh = false;
  if (!channel.GetAccounts(accounts, method)) {
    syslog(LOG_ERR, "%s:%d Failed to get info of accounts", kSourceFile, __LINE__);
    throw VexoError(VEXODL_ERR_LIST_HOSTS, "");
  }
  std::string plugin_name;
  for (const Json::Value& account : accounts) {
    if (!internal::ReadNameMember(account, "pluginname", &plugin_name) || plugin_name.empty()) {
      continue;
    }
    visit(plugin_name, account);
  }
}

}  // namespace

std::vector<std::shared_ptr<Base>> Pyload::ListSupportedHosts() {
  std::vector<std::shared_ptr<Base>> hosts;
  VisitListedAccounts([&hosts](const std::string& name, const Json::Value& account) {
    auto host = std::make_shared<Pyload>(name);
    host->fromJson(account);
    hosts.push_back(std::move(host));
  });
  return hosts;
}

void internal::AppendPyloadHosts(Json::Value& out) {
  VisitListedAccounts([&out](const std::string& name, const Json::Value& account) {
    Pyload host(name);
    host.fromJson(account);
    Json::Value object;
    host.toJson(object);
    out.append(std::move(object));
  });
}

}  // namespace vexodl::filehosting::host
