#pragma once

#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "filehosting_export.h"

namespace vexodl::filehosting {

namespace host {
class Base;
}

// Handler is the library's entry point: the catalogue of file hosts, their enabled states and the
// user's accounts on them. It holds no data; any number of handlers may exist, on any threads.
// A host is named by its name and its type key, "vexo" (native hosts) or "pyload" (pyLoad hosts);
// any other type fails with VexoError 1612 before a back-end is contacted. Failures are
// vexodl::VexoError with a code (see error/vexo_error.h), except Create's bare code 501.
class VEXODL_FILEHOSTING_EXPORT Handler {
 public:
  Handler();
  ~Handler();

  // A new host record of the kind that `type` names; the caller owns it.
  host::Base* GetCorrespondingHost(const std::string& name, const std::string& type);

  // 0 rejected, 1 valid account without premium rights, 2 valid premium account. A user name
  // without a password fails with 528.
  int Verify(const std::string& name, const std::string& type, const std::string& username,
             const std::string& password);
  void RemoveAccount(const std::string& name, const std::string& type);
  void Update(const std::string& name, const std::string& type);
  void Delete(const std::string& name, const std::string& type);
  // Installs a native host from `source`; an empty source throws the bare value 501.
  void Create(const std::string& type, const std::string& source);
  // `settings` is a JSON object (or null): string "username" and "password" store the account
  // (a user name without a password fails with 528), then a boolean "enabled" stores the enabled
  // state. Other members, and members of other types, are ignored.
  void Set(const std::string& name, const std::string& type, const Json::Value& settings);
  // Writes the host's JSON object into `out` (null or an object), which is not cleared first.
  void Get(Json::Value& out, const std::string& name, const std::string& type);

  // Every host: pyLoad's, then the native ones. A back-end whose listing fails with a VexoError
  // is logged and left out.
  std::vector<std::shared_ptr<host::Base>> List();
  // Appends the JSON object of each host of List() to `out`, which must be null or an array.
  void List(Json::Value& out);
};

}  // namespace vexodl::filehosting
