#include "host/vexo.h"

#include <syslog.h>

#include <utility>

#include "error/vexo_error.h"
#include "host/catalogue.h"
#include "host/json_member.h"
#include "outside/vexohost.h"

#ifndef VEXODL_UPDATE_SERVER_BASE
#define VEXODL_UPDATE_SERVER_BASE "https://updates.vexodl.net/"
#endif

namespace vexodl::filehosting::host {

namespace {

// The name that log lines give this file, whatever directory the build ran in.
constexpr char kSourceFile[] = "host/vexo.cpp";

// The same for every host: the service updates the host its handler is named after.
constexpr char kUpdateUrl[] = VEXODL_UPDATE_SERVER_BASE "filehostupdate/filehosts/";

// The download manager handles this site by other means, so it is never listed as a file host.
constexpr char kExcludedHost[] = "youtube";

const Json::StaticString kNewVersion("newversion");

}  // namespace

Vexo::Vexo(const std::string& name) : Base(name, "vexo") {}

Vexo::~Vexo() = default;

void Vexo::Get() {
  vexohost::Handler service(name);
  Json::Value host;
  service.AccountGet(host);
  fromJson(host);
}

void Vexo::SaveAccount() {
  vexohost::Handler service(name);
  service.AccountSet(username, password);
}

void Vexo::SaveEnabled() {
  vexohost::Handler service(name);
  service.HostEnabledSet(enabled);
}

void Vexo::Create() {
  if (source.empty()) throw VEXODL_ERR_NO_SOURCE;
  vexohost::Handler service("");
  service.HostAdd(source);
}

void Vexo::Delete() {
  vexohost::Handler service(name);
  service.HostDelete();
}

void Vexo::Update() {
  vexohost::Handler service(name);
  service.HostUpdate(kUpdateUrl);
}

void Vexo::RemoveAccount() {
  vexohost::Handler service(name);
  service.HostRemoveAccount();
}

int Vexo::VerifyAccount() {
  Json::Value info;
  vexohost::Handler service(name);
  const int result = service.AccountVerify(info, username, password);
  if (result < 0 || result > 2) {
    syslog(LOG_ERR, "%s:%d Failed to verify account %s", kSourceFile, __LINE__, name.c_str());
    throw VexoError(VEXODL_ERR_VERIFY_ACCOUNT, "");
  }
  return result;
}

void Vexo::toJson(Json::Value& out) {
  Base::toJson(out);
  if (!version.empty() && newversion != version) out[kNewVersion] = newversion;
}

void Vexo::fromJson(const Json::Value& host) {
  if (const Json::Value* member = internal::FindMember(host, "username")) {
    username = member->asString();
  }
  if (const Json::Value* member = internal::FindMember(host, "description")) {
    description = member->asString();
  }
  if (const Json::Value* member = internal::FindMember(host, "version")) {
    version = member->asString();
  }
  if (const Json::Value* member = internal::FindMember(host, "newversion")) {
    newversion = member->asString();
  }
  if (const Json::Value* member = internal::FindMember(host, "enable");
      member && member->isBool()) {
    enabled = member->asBool();
  }
  if (const Json::Value* member = internal::FindMember(host, "user"); member && member->isBool()) {
    removable = member->asBool();
  }
  if (const Json::Value* member = internal::FindMember(host, "authentication");
      member && member->isString()) {
    auth_needed = member->asString() != "no";
  }
}

namespace {

// Calls `visit(name, element)` for every element of the service's listing that names a host
// other than kExcludedHost, in listing order.
template <typename Visit>
void VisitListedHosts(Visit&& visit) {
  Json::Value listing;
  vexohost::Handler service("");
  service.List(listing);
  std::string host_name;
  for (const Json::Value& element : listing) {
    if (!internal::ReadNameMember(element, "name", &host_name)) continue;
    if (host_name.empty() || host_name == kExcludedHost) continue;
    visit(host_name, element);
  }
}

}  // namespace

std::vector<std::shared_ptr<Base>> Vexo::ListSupportedHosts() {
  std::vector<std::shared_ptr<Base>> hosts;
  VisitListedHosts([&hosts](const std::string& name, const Json::Value& element) {
    auto host = std::make_shared<Vexo>(name);
    host->fromJson(element);
    hosts.push_back(std::move(host));
  });
  return hosts;
}

void internal::AppendVexoHosts(Json::Value& out) {
  VisitListedHosts([&out](const std::string& name, const Json::Value& element) {
    Vexo host(name);
    host.fromJson(element);
    Json::Value object;
    host.toJson(object);
    out.append(std::move(object));
  });
}

}  // namespace vexodl::filehosting::host
