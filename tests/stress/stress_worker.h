#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

// The stress test's workers: each one owns three hosts (a shipped native plug-in, a user native
// plug-in and a pyLoad plug-in), runs a random mix of every vexodl::filehosting::Handler operation
// on them and on the catalogue for a while, and keeps, for each host, what its own successful
// writes leave stored. The test runs workers on threads of its own process and of worker
// processes (stress_worker_main.cpp), then checks the stores against what every worker reports.
namespace vexodl::stress {

enum class HostKind { kShipped, kUser, kPyload };

// What the stores hold for one host, as its owner knows it from its own calls.
struct HostState {
  bool installed = true;  // a user plug-in: whether user/ holds it
  std::string version;    // a native plug-in: its installed version
  bool has_account = false;
  std::string username;
  std::string password;
  std::optional<bool> enabled;  // native: the stored enabled state; none stored until set
  bool use_premium = false;     // pyLoad: whether pyLoad uses the account; false without one

  bool operator==(const HostState& other) const;
};

// One host of one worker, with every state it may be in: usually one. There are two when the
// caller cannot tell the outcome apart (a pyLoad account saved over the command line keeps
// whether pyLoad uses it, over the socket it does not; a native Set that found the store busy
// may have stored its account part); the next read narrows them down again.
struct OwnedHost {
  std::string name;
  HostKind kind = HostKind::kShipped;
  std::vector<HostState> candidates;
};

// How often one operation ran and how it ended.
struct OperationCount {
  std::int64_t calls = 0;
  std::int64_t done = 0;     // returned normally
  std::int64_t refused = 0;  // failed with the code the worker expected from what it had stored
  std::int64_t busy = 0;     // the documented contention codes 2102 and 2201: not written
};

struct WorkerReport {
  std::string id;
  std::vector<OwnedHost> hosts;
  std::map<std::string, OperationCount> operations;
  std::vector<std::string> failures;  // empty when every call ended as expected
};

// The codes that docs/vexohost.md gives for contention: the store lock not obtained within 30 s,
// the account database locked by another writer for 15 s. A call that fails with one of them
// wrote nothing (or, for a Set of account and enabled state, only the account).
bool IsContentionCode(int code);

// The names of the hosts that worker `id` owns.
std::string ShippedName(const std::string& id);
std::string UserName(const std::string& id);
std::string PyloadName(const std::string& id);

// The packages of a worker's user plug-in, in `packages_dir`: version 1.0 (its verifier answers
// 1) and 2.0 (answers 2); the update server offers 2.0.
std::string PackagePath(const std::string& packages_dir, const std::string& id,
                        const std::string& version);
constexpr char kOldVersion[] = "1.0";
constexpr char kNewVersion[] = "2.0";
constexpr char kPyloadPluginVersion[] = "0.1";
// A user plug-in that the test installs at kNewVersion and nobody changes: every native listing
// holds it.
constexpr char kFixedUserPlugin[] = "z-fixed";

// The shipped plug-in's verifier (a shell script): 2 for a password that holds "premium-pass",
// 1 for one that holds "ok-pass", 0 otherwise.
extern const char kShippedVerifier[];
std::string ShippedManifest(const std::string& name);
// The pyLoad plug-in of a worker, as the peer's store holds it under "plugins".
Json::Value PyloadPlugin();

// A worker's hosts as the test sets them up: the user plug-in installed at kOldVersion, nothing
// stored for any of them.
std::vector<OwnedHost> InitialHosts(const std::string& id);

// What Handler::Get writes into a null value for `host` in `state`; null when the host is not
// there (Get then fails with 2002).
Json::Value ExpectedHostJson(const OwnedHost& host, const HostState& state);
// A native host's row in accounts.db as StateDirTest::Row shows it ("<none>" for no row).
std::string ExpectedRow(const HostState& state);
// A pyLoad host's entry under "accounts" in the peer's store; null when it has none.
Json::Value ExpectedPyloadAccount(const HostState& state);

struct WorkerConfig {
  std::string id;
  std::string packages_dir;
  std::chrono::milliseconds duration{0};
  std::uint32_t seed = 0;
};

// Runs one worker until its duration has passed or a call ends unexpectedly. Throws nothing.
WorkerReport RunWorker(const WorkerConfig& config);

Json::Value ToJson(const WorkerReport& report);
// Throws std::runtime_error when `json` is no report.
WorkerReport ReportFromJson(const Json::Value& json);

std::string Describe(const HostState& state);

}  // namespace vexodl::stress
