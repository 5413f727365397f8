#pragma once

#include <memory>
#include <string>

#include <json/value.h>

// The native host-plugin service, as libvexodlfilehosting calls it. Implemented by
// libvexodlvexohost.so.1; every symbol declared here is exported by that library.
namespace vexodl::vexohost {

class Handler {
 public:
  explicit Handler(const std::string& host);  // "" where no single host is concerned
  ~Handler();
  Handler(const Handler&) = delete;
  Handler& operator=(const Handler&) = delete;

  int List(Json::Value& out);
  int AccountGet(Json::Value& out);
  int AccountSet(const std::string& username, const std::string& password);
  int AccountVerify(Json::Value& info, const std::string& username, const std::string& password);
  int HostAdd(const std::string& source);
  int HostDelete();
  int HostUpdate(const std::string& url);
  int HostEnabledSet(bool enabled);
  int HostRemoveAccount();

 private:
  struct Impl;  // defined by whichever library implements this class
  std::unique_ptr<Impl> impl_;
};

}  // namespace vexodl::vexohost
