#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <json/value.h>

#include "json_text.h"
#include "process_census.h"
#include "temp_dir.h"

// Helpers of the pyLoad client's tests: the peer (pyload/peer/pyload-peer) as a server process,
// its store and fault file, environment overrides, and counts of descriptors and children.
namespace vexodl::pyload::testing {

using vexodl::fake::ParseJson;
// Compact JSON text of `value`, as the client writes it.
inline std::string CompactJson(const Json::Value& value) { return vexodl::fake::Compact(value); }

// ScopedEnv sets (or, given nothing, unsets) environment variables and restores each one's
// previous state when destroyed.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  void Set(const std::string& name, const std::optional<std::string>& value);

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

using fake::ChildInfo;
using fake::ChildrenOfThisProcess;
using fake::IsAlive;
using fake::OpenDescriptorCount;
using fake::SubreapersWork;

// PeerServer runs `pyload-peer serve` on `socket_path` with this process's environment (the
// store and fault file come from VEXODL_PYLOAD_STORE and VEXODL_PYLOAD_PEER_FAULT) and stops it,
// SIGTERM then SIGKILL, when destroyed. The constructor returns once a connection to the socket
// is answered, or throws std::runtime_error after 10 s.
class PeerServer {
 public:
  explicit PeerServer(const std::string& socket_path);
  ~PeerServer();
  PeerServer(const PeerServer&) = delete;
  PeerServer& operator=(const PeerServer&) = delete;

  pid_t pid() const { return pid_; }
  // Stops the server and reaps it; true when it had ended on its own (it died) or by SIGTERM.
  void Stop();

 private:
  pid_t pid_ = -1;
  std::string socket_path_;
};

// The peer's store used by most tests: two account plug-ins; "Uploaded" accepts "me"/"secret"
// (premium, traffic "1048576") and "free"/"pw"; "Zippyshare" holds the account "old", which pyLoad
// does not use (use_premium false).
extern const char kStandardStore[];

// PeerEnvironment is what every test against the peer starts from: a temporary directory with
// the store, a fault file path and the socket path, the client's environment pointing at them
// with short deadlines, and no server running.
class PeerEnvironment {
 public:
  PeerEnvironment();

  const std::string& socket_path() const { return socket_path_; }
  const std::string& store_path() const { return store_path_; }
  std::string operator/(const std::string& name) const { return dir_ / name; }
  ScopedEnv& env() { return env_; }

  void WriteStore(const std::string& json_text) const;
  Json::Value ReadStore() const;
  // What the peer does on the next requests: a line of the fault file ("" clears it).
  void SetFault(const std::string& line) const;

  void StartServer();
  void StopServer();
  const PeerServer* server() const { return server_.get(); }

 private:
  fake::TempDir dir_;
  std::string socket_path_;
  std::string store_path_;
  std::string fault_path_;
  ScopedEnv env_;
  std::unique_ptr<PeerServer> server_;
};

}  // namespace vexodl::pyload::testing
