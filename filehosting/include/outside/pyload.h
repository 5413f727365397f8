#pragma once

#include <memory>
#include <string>

#include <json/value.h>

// The pyLoad RPC client, as libvexodlfilehosting calls it. Implemented by libvexodlpyload.so.1;
// every symbol declared here is exported by that library.
namespace vexodl::pyload {

struct MethodGetAccounts {
  bool refresh = false;
};
struct MethodRemoveAccount {
  std::string host;
};
struct MethodUpdateAccount {
  std::string host;
  std::string username;
  std::string password;
};
struct MethodVerifyAccount {
  std::string host;
  std::string username;
  std::string password;
};
struct MethodEnableAccount {
  std::string host;
  bool enabled = false;
};

class Utils {
 public:
  static bool IsPyLoadDomainSocketReady();
};

namespace rpc {

class Base {
 public:
  virtual ~Base();
  virtual bool UpdateAccount(const MethodUpdateAccount& method) = 0;
  virtual bool EnableAccount(const MethodEnableAccount& method) = 0;
  virtual int VerifyAccount(const MethodVerifyAccount& method) = 0;  // 1, 2, 3, or failure
  virtual bool GetAccounts(Json::Value& out, const MethodGetAccounts& method) = 0;
};

class DomainSocketHandler : public Base {
 public:
  DomainSocketHandler();
  ~DomainSocketHandler() override;
  bool UpdateAccount(const MethodUpdateAccount& method) override;
  bool EnableAccount(const MethodEnableAccount& method) override;
  int VerifyAccount(const MethodVerifyAccount& method) override;
  bool GetAccounts(Json::Value& out, const MethodGetAccounts& method) override;
  bool RemoveAccount(const MethodRemoveAccount& method);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class CommandlineHandler : public Base {
 public:
  CommandlineHandler();
  ~CommandlineHandler() override;
  bool UpdateAccount(const MethodUpdateAccount& method) override;
  bool EnableAccount(const MethodEnableAccount& method) override;
  int VerifyAccount(const MethodVerifyAccount& method) override;
  bool GetAccounts(Json::Value& out, const MethodGetAccounts& method) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace rpc
}  // namespace vexodl::pyload
