#pragma once

#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "filehosting_export.h"
#include "host/base.h"
#include "outside/pyload.h"

namespace vexodl::filehosting::host {

// Pyload is a host served by one of pyLoad's plug-ins; `name` is the plug-in's name. Its account
// operations reach pyLoad through the RPC client: over the domain socket when pyLoad's daemon
// answers there, else through pyLoad's command line. pyLoad hosts are never removable and cannot
// be installed, updated or removed through this library.
class VEXODL_FILEHOSTING_EXPORT Pyload : public Base {
 public:
  explicit Pyload(const std::string& name);
  ~Pyload() override;

  // Fills the record from the element of pyLoad's account list (read over the domain socket)
  // whose "type" equals `name`; throws VexoError 100 when there is none or the list can't be read.
  void Get() override;
  // Over the domain socket when it is ready: removes the old account first, then stores the new
  // one unless both user name and password are empty. Otherwise stores it over the command line.
  void SaveAccount() override;
  void SaveEnabled() override;
  void Create() override;  // always VexoError 1611
  void Delete() override;  // always VexoError 1611
  void Update() override;  // always VexoError 1611
  void RemoveAccount() override;
  int VerifyAccount() override;
  // Reports the host as enabled exactly when pyLoad uses its account: sets `enabled` from
  // `use_premium` first. Adds "valid" and "trafficleft" for a host with an account.
  void toJson(Json::Value& out) override;

  // Fills the record from one pyLoad account object; absent or mistyped members leave their field.
  void fromJson(const Json::Value& account);

  // REQUIRES: channel is not null. Each sends one request over `channel` and judges the answer.
  void SaveAccountImp(std::shared_ptr<vexodl::pyload::rpc::Base> channel);
  void SaveEnabledImp(std::shared_ptr<vexodl::pyload::rpc::Base> channel);
  int VerifyAccountImp(std::shared_ptr<vexodl::pyload::rpc::Base> channel);

  // One host per element of pyLoad's account list (read over the command line) that names a
  // plug-in, in list order; throws VexoError 1614 when the list can't be read.
  static std::vector<std::shared_ptr<Base>> ListSupportedHosts();

  bool valid = false;
  bool use_premium = false;
  std::string trafficleft;
};

// New channels, each owned by the pointer it is returned in.
VEXODL_FILEHOSTING_EXPORT std::shared_ptr<vexodl::pyload::rpc::Base> GetDomainSocketHandler();
VEXODL_FILEHOSTING_EXPORT std::shared_ptr<vexodl::pyload::rpc::Base> GetCommandlineHandler();

}  // namespace vexodl::filehosting::host
