#pragma once

#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "filehosting_export.h"
#include "host/base.h"

namespace vexodl::filehosting::host {

// Vexo is a native host: one of the download manager's own host plug-ins, managed by the native
// host-plugin service (vexodl::vexohost::Handler). Every operation opens its own service handler
// for one call and destroys it before returning; exceptions of the service pass unchanged.
class VEXODL_FILEHOSTING_EXPORT Vexo : public Base {
 public:
  explicit Vexo(const std::string& name);
  ~Vexo() override;

  void Get() override;
  void SaveAccount() override;
  void SaveEnabled() override;
  // Throws the bare enumeration value VEXODL_ERR_NO_SOURCE (501), not a VexoError, when `source`
  // is empty; otherwise installs the host from `source`.
  void Create() override;
  void Delete() override;
  void Update() override;
  void RemoveAccount() override;
  int VerifyAccount() override;
  // The common keys, plus "newversion" when the installed `version` is known and differs from it.
  void toJson(Json::Value& out) override;

  // Fills the record from one service host object; absent or mistyped members leave their field.
  void fromJson(const Json::Value& host);

  // Every plug-in that the service lists, but "youtube", in listing order.
  static std::vector<std::shared_ptr<Base>> ListSupportedHosts();

  std::string newversion;  // newest version of the plug-in that the service offers
};

}  // namespace vexodl::filehosting::host
