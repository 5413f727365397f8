#pragma once

#include <string>

#include <json/value.h>

#include "filehosting_export.h"

namespace vexodl::filehosting::host {

// Base is the record of one file host: what the library knows of it, and the operations that each
// host kind carries out against its own back-end. A record lives for one call of the facade or one
// listing, owned by a std::shared_ptr<Base>, and is used by one thread at a time. The fields are
// public: the facade writes the ones an operation reads, and the kinds fill the rest.
class VEXODL_FILEHOSTING_EXPORT Base {
 public:
  // Only the kinds' constructors call this; they pass their own type key.
  Base(const std::string& name, const std::string& type);
  virtual ~Base();

  // Fills the record from the back-end's current data for the host called `name`.
  virtual void Get() = 0;
  // Stores `username` and `password` as the host's account.
  virtual void SaveAccount() = 0;
  // Stores `enabled` as the host's enabled state.
  virtual void SaveEnabled() = 0;
  // Installs a new host from `source`.
  virtual void Create() = 0;
  // Removes the installed host `name`.
  virtual void Delete() = 0;
  // Updates the installed host `name` from the update server.
  virtual void Update() = 0;
  // Removes the account stored for the host.
  virtual void RemoveAccount() = 0;
  // Checks `username` and `password` with the back-end: 0 rejected, 1 valid account without
  // premium rights, 2 valid premium account. Any other outcome throws VexoError 1604.
  virtual int VerifyAccount() = 0;
  // Writes the common keys of the host JSON object into `out`, which must be null or an object
  // (otherwise Json::LogicError). Keys that the record does not write are left as they were.
  virtual void toJson(Json::Value& out);

  std::string name;
  std::string type;
  std::string description;
  std::string version;
  std::string username;
  std::string password;  // never written to JSON
  std::string source;    // never written to JSON; read only by the native Create
  bool enabled = false;
  bool premium = false;
  bool removable = true;
  bool can_be_disabled = true;
  bool auth_needed = true;
  bool is_tested = true;  // a host that is not tested is reported as experimental
};

}  // namespace vexodl::filehosting::host
