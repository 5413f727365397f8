// Handler over the in-process fakes of both back-ends, each operation beside the least work the
// same job needs: the same back-end calls, then JsonCpp directly. docs/benchmarks.md explains the
// design and the goals.
//
//   vexodl-bench-handler [benchmark flags]
//   vexodl-bench-handler --peak-memory=library|baseline --hosts=N
//       prints {"which", "hosts", "peak_bytes", "bytes_per_host"}: how far one listing of N hosts
//       raises the process's peak resident memory above what it held before.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <json/value.h>

#include "error/vexo_error.h"
#include "fake_pyload.h"
#include "fake_vexohost.h"
#include "handler.h"
#include "outside/pyload.h"
#include "outside/vexohost.h"
#include "paired.h"

namespace vexodl::bench {
namespace {

using fake::Pyload;
using fake::Vexohost;

// ---- Back-end JSON ------------------------------------------------------------------------------

std::string Numbered(const char* prefix, int i) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%06d", prefix, i);
  return text;
}

// pyLoad's account list as its client hands it over: every member kind, with and without an
// account, in the proportions a real list has.
Json::Value PyloadAccounts(int count) {
  Json::Value accounts(Json::arrayValue);
  for (int i = 0; i < count; ++i) {
    Json::Value account(Json::objectValue);
    const std::string name = Numbered("pyhost-", i);
    account["pluginname"] = name;
    account["type"] = name;
    if (i % 3 != 0) {
      account["login"] = Numbered("user", i);
      account["trafficleft"] = std::to_string(1024L * 1024 * (i % 97));
    }
    account["valid"] = i % 3 == 1;
    account["premium"] = i % 4 == 0;
    account["use_premium"] = i % 2 == 0;
    account["can_be_disabled"] = i % 5 != 0;
    account["is_tested"] = i % 7 != 0;
    account["version"] = "0." + std::to_string(i % 20);
    accounts.append(std::move(account));
  }
  return accounts;
}

// The native service's listing as it hands it over, with one "youtube" element that is never
// listed.
Json::Value NativeListing(int count) {
  Json::Value listing(Json::arrayValue);
  for (int i = 0; i < count; ++i) {
    Json::Value host(Json::objectValue);
    const std::string name = i == count / 2 ? "youtube" : Numbered("native-", i);
    host["name"] = name;
    host["description"] = "Native host " + name + "; premium accounts lift the speed limit";
    const std::string version = "1.2." + std::to_string(i % 10);
    host["version"] = version;
    host["newversion"] = i % 4 == 0 ? "1.3.0" : version;
    host["enable"] = i % 3 != 0;
    host["user"] = i % 2 == 0;
    host["authentication"] = i % 3 == 0 ? "no" : "yes";
    if (i % 5 == 0) host["username"] = Numbered("alice", i);
    listing.append(std::move(host));
  }
  return listing;
}

// ---- The baseline: the host JSON object written with JsonCpp directly --------------------------
// Each member of the back-end's object is looked up once, keys and constant values are static
// strings (JsonCpp keeps the pointer, copies nothing), and each object is moved into the array.

const Json::StaticString kName("name");
const Json::StaticString kType("type");
const Json::StaticString kDisplayName("displayname");
const Json::StaticString kEnabled("enabled");
const Json::StaticString kDescription("description");
const Json::StaticString kVersion("version");
const Json::StaticString kUsername("username");
const Json::StaticString kPremium("premium");
const Json::StaticString kRemovable("removable");
const Json::StaticString kCanBeDisabled("can_be_disabled");
const Json::StaticString kAuthNeeded("auth_needed");
const Json::StaticString kExperimental("experimental");
const Json::StaticString kNewVersion("newversion");
const Json::StaticString kValid("valid");
const Json::StaticString kTrafficLeft("trafficleft");
const Json::StaticString kVexo("vexo");
const Json::StaticString kPyloadType("pyload");
const Json::StaticString kPyloadDescription("pyLoad Plugin");

template <std::size_t N>
const Json::Value* Find(const Json::Value& object, const char (&key)[N]) {
  return object.find(key, key + N - 1);
}

bool IsEmptyText(const Json::Value& value) {
  if (value.isNull()) return true;
  if (!value.isString()) return value.asString().empty();
  const char* begin = nullptr;
  const char* end = nullptr;
  value.getString(&begin, &end);
  return begin == end;
}

// Writes a text member that the host object carries only when non-empty, as a string.
void CopyText(const Json::Value* from, const Json::StaticString& key, Json::Value& to) {
  if (from == nullptr || IsEmptyText(*from)) return;
  if (from->isString()) {
    to[key] = *from;
  } else {
    to[key] = from->asString();
  }
}

bool BoolOr(const Json::Value* member, bool fallback) {
  return member != nullptr && member->isBool() ? member->asBool() : fallback;
}

// The name member of a listing element: nullptr for an element that names nothing.
template <std::size_t N>
const Json::Value* NameOf(const Json::Value& element, const char (&key)[N]) {
  if (!element.isObject()) return nullptr;
  const Json::Value* name = Find(element, key);
  if (name == nullptr || !name->isString() || IsEmptyText(*name)) return nullptr;
  return name;
}

void WritePyloadHost(const Json::Value& account, const Json::Value& name, Json::Value& out) {
  out[kName] = name;
  out[kType] = kPyloadType;
  out[kDisplayName] = name;
  out[kEnabled] = BoolOr(Find(account, "use_premium"), false);
  out[kDescription] = kPyloadDescription;
  CopyText(Find(account, "version"), kVersion, out);
  const Json::Value* login = Find(account, "login");
  const bool has_account = login != nullptr && !IsEmptyText(*login);
  CopyText(login, kUsername, out);
  if (BoolOr(Find(account, "premium"), false)) out[kPremium] = true;
  out[kRemovable] = false;
  if (!BoolOr(Find(account, "can_be_disabled"), true)) out[kCanBeDisabled] = false;
  out[kAuthNeeded] = true;
  if (!BoolOr(Find(account, "is_tested"), true)) out[kExperimental] = true;
  if (!has_account) return;
  out[kValid] = BoolOr(Find(account, "valid"), false);
  const Json::Value* traffic = Find(account, "trafficleft");
  if (traffic == nullptr || traffic->isNull()) {
    out[kTrafficLeft] = "";
  } else if (traffic->isString()) {
    out[kTrafficLeft] = *traffic;
  } else {
    out[kTrafficLeft] = traffic->asString();
  }
}

void WriteNativeHost(const Json::Value& host, const Json::Value& name, Json::Value& out) {
  out[kName] = name;
  out[kType] = kVexo;
  out[kDisplayName] = name;
  out[kEnabled] = BoolOr(Find(host, "enable"), false);
  CopyText(Find(host, "description"), kDescription, out);
  const Json::Value* version = Find(host, "version");
  CopyText(version, kVersion, out);
  CopyText(Find(host, "username"), kUsername, out);
  out[kRemovable] = BoolOr(Find(host, "user"), true);
  const Json::Value* authentication = Find(host, "authentication");
  out[kAuthNeeded] = !(authentication != nullptr && authentication->isString() &&
                       authentication->asString() == "no");
  if (version == nullptr || IsEmptyText(*version)) return;
  const Json::Value* newversion = Find(host, "newversion");
  if (newversion == nullptr || IsEmptyText(*newversion)) {
    out[kNewVersion] = "";
  } else if (*newversion != *version) {
    out[kNewVersion] = *newversion;
  }
}

// The whole listing: the same back-end calls that Handler::List makes, in the same order.
// Each back-end's listing is dropped as soon as its hosts are written.
void BaselineList(Json::Value& out) {
  {
    Json::Value accounts;
    {
      pyload::rpc::CommandlineHandler channel;
      if (!channel.GetAccounts(accounts, pyload::MethodGetAccounts{})) accounts = Json::Value();
    }
    for (const Json::Value& account : accounts) {
      const Json::Value* name = NameOf(account, "pluginname");
      if (name == nullptr) continue;
      Json::Value host(Json::objectValue);
      WritePyloadHost(account, *name, host);
      out.append(std::move(host));
    }
  }
  Json::Value listing;
  {
    vexohost::Handler service("");
    service.List(listing);
  }
  for (const Json::Value& element : listing) {
    const Json::Value* name = NameOf(element, "name");
    if (name == nullptr) continue;
    const char* begin = nullptr;
    const char* end = nullptr;
    name->getString(&begin, &end);
    if (std::string_view(begin, static_cast<std::size_t>(end - begin)) == "youtube") continue;
    Json::Value host(Json::objectValue);
    WriteNativeHost(element, *name, host);
    out.append(std::move(host));
  }
}

void BaselineGetNative(Json::Value& out, const std::string& name) {
  Json::Value host;
  vexohost::Handler service(name);
  service.AccountGet(host);
  WriteNativeHost(host, Json::Value(name), out);
}

void BaselineGetPyload(Json::Value& out, const std::string& name) {
  Json::Value accounts;
  pyload::rpc::DomainSocketHandler channel;
  if (!channel.GetAccounts(accounts, pyload::MethodGetAccounts{})) {
    throw VexoError(VEXODL_ERR_ACCOUNT_INFO, "");
  }
  for (const Json::Value& account : accounts) {
    if (!account.isObject()) continue;
    const Json::Value* type = Find(account, "type");
    if (type == nullptr || !type->isString() || type->asString() != name) continue;
    WritePyloadHost(account, Json::Value(name), out);
    return;
  }
  throw VexoError(VEXODL_ERR_ACCOUNT_INFO, "");
}

// The account part and the enabled part of a settings object, as Set reads them.
struct SettingsParts {
  bool has_account = false;
  std::string username;
  std::string password;
  const Json::Value* enabled = nullptr;
};

SettingsParts ReadSettings(const Json::Value& settings) {
  SettingsParts parts;
  const Json::Value* username = Find(settings, "username");
  const Json::Value* password = Find(settings, "password");
  if (username != nullptr && username->isString() && password != nullptr && password->isString()) {
    parts.has_account = true;
    parts.username = username->asString();
    parts.password = password->asString();
    if (!parts.username.empty() && parts.password.empty()) {
      throw VexoError(VEXODL_ERR_PASSWORD_REQUIRED, "");
    }
  }
  const Json::Value* enabled = Find(settings, "enabled");
  if (enabled != nullptr && enabled->isBool()) parts.enabled = enabled;
  return parts;
}

void BaselineSetNative(const std::string& name, const Json::Value& settings) {
  const SettingsParts parts = ReadSettings(settings);
  if (parts.has_account) {
    vexohost::Handler service(name);
    service.AccountSet(parts.username, parts.password);
  }
  if (parts.enabled != nullptr) {
    vexohost::Handler service(name);
    service.HostEnabledSet(parts.enabled->asBool());
  }
}

// With pyLoad's socket not ready, as the fake says by default: both parts over the command line,
// each after its own readiness question, as the library asks.
void BaselineSetPyload(const std::string& name, const Json::Value& settings) {
  const SettingsParts parts = ReadSettings(settings);
  if (parts.has_account) {
    if (pyload::Utils::IsPyLoadDomainSocketReady()) throw std::logic_error("socket ready");
    pyload::MethodUpdateAccount method;
    method.host = name;
    method.username = parts.username;
    method.password = parts.password;
    if (!pyload::rpc::CommandlineHandler().UpdateAccount(method)) {
      throw VexoError(VEXODL_ERR_SET_ACCOUNT, "");
    }
  }
  if (parts.enabled != nullptr) {
    if (pyload::Utils::IsPyLoadDomainSocketReady()) throw std::logic_error("socket ready");
    pyload::MethodEnableAccount method;
    method.host = name;
    method.enabled = parts.enabled->asBool();
    if (!pyload::rpc::CommandlineHandler().EnableAccount(method)) {
      throw VexoError(VEXODL_ERR_SET_ENABLED, "");
    }
  }
}

// ---- Setting up the fakes -----------------------------------------------------------------------

void ScriptListing(int hosts) {
  Pyload().Reset();
  Vexohost().Reset();
  Pyload().Fill("CommandlineHandler.GetAccounts", PyloadAccounts(hosts / 2), 1);
  Vexohost().Fill("List", NativeListing(hosts - hosts / 2), 0);
}

void ClearFakeEvents() {
  Pyload().ClearEvents();
  Vexohost().ClearEvents();
}

std::vector<std::string> FakeEvents() {
  std::vector<std::string> events = Pyload().Events();
  for (std::string& event : Vexohost().Events()) events.push_back("vexohost " + event);
  return events;
}

// One batch's outputs, kept until the batch's time is taken, then dropped outside the timing:
// destroying what the caller received is the caller's work, not the operation's.
class Outputs {
 public:
  explicit Outputs(int batch) : values_(static_cast<std::size_t>(batch)) {}
  Json::Value& operator[](int i) { return values_[static_cast<std::size_t>(i)]; }
  void Drop() {
    for (Json::Value& value : values_) Json::Value().swap(value);
  }

 private:
  std::vector<Json::Value> values_;
};

// Batches of about a millisecond or more, so that reading the clock costs nothing against them.
int ListBatch(int hosts) { return hosts >= 10000 ? 1 : 20; }

// ---- Benchmarks ---------------------------------------------------------------------------------

void BM_List(benchmark::State& state) {
  const int hosts = static_cast<int>(state.range(0));
  ScriptListing(hosts);
  filehosting::Handler handler;
  {
    Json::Value library;
    Json::Value baseline;
    handler.List(library);
    const std::vector<std::string> library_events = FakeEvents();
    ClearFakeEvents();
    BaselineList(baseline);
    if (library != baseline) return FailCheck(state, "the listings differ");
    if (FakeEvents() != library_events) return FailCheck(state, "the back-end calls differ");
    if (library.size() != static_cast<Json::ArrayIndex>(hosts - 1)) {
      return FailCheck(state, "the listing holds " + std::to_string(library.size()) + " hosts");
    }
  }
  const int batch = ListBatch(hosts);
  Outputs outputs(batch);
  RunPaired(state, Timing::kThreadCpu, batch,
            {[&](int i) { handler.List(outputs[i]); }, [&](int i) { BaselineList(outputs[i]); },
             [&] {
               outputs.Drop();
               ClearFakeEvents();
             }});
  state.counters["hosts"] = hosts;
}
BENCHMARK(BM_List)->Arg(100)->Arg(10000)->Arg(100000)->UseManualTime()->Unit(
    benchmark::kMicrosecond);

constexpr int kSingleBatch = 1000;
constexpr int kPyloadAccounts = 20;
const char kNativeHost[] = "filedrop";
const std::string kPyloadHost = Numbered("pyhost-", kPyloadAccounts / 2);

void ScriptSingleHost() {
  Pyload().Reset();
  Vexohost().Reset();
  Json::Value host = NativeListing(1)[0];
  host["name"] = kNativeHost;
  host["username"] = "alice";
  Vexohost().Fill("AccountGet", std::move(host), 0);
  Pyload().Fill("DomainSocketHandler.GetAccounts", PyloadAccounts(kPyloadAccounts), 1);
}

void BM_Get(benchmark::State& state) {
  const bool native = state.range(0) == 0;
  state.SetLabel(native ? "vexo" : "pyload");
  const std::string name = native ? kNativeHost : kPyloadHost;
  const std::string type = native ? "vexo" : "pyload";
  const auto baseline = native ? BaselineGetNative : BaselineGetPyload;
  ScriptSingleHost();
  filehosting::Handler handler;
  {
    Json::Value library;
    Json::Value expected;
    handler.Get(library, name, type);
    const std::vector<std::string> library_events = FakeEvents();
    ClearFakeEvents();
    baseline(expected, name);
    if (library != expected) return FailCheck(state, "the host objects differ");
    if (FakeEvents() != library_events) return FailCheck(state, "the back-end calls differ");
  }
  Outputs outputs(kSingleBatch);
  RunPaired(state, Timing::kThreadCpu, kSingleBatch,
            {[&](int i) { handler.Get(outputs[i], name, type); },
             [&](int i) { baseline(outputs[i], name); },
             [&] {
               outputs.Drop();
               ClearFakeEvents();
             }});
}
BENCHMARK(BM_Get)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_Set(benchmark::State& state) {
  const bool native = state.range(0) == 0;
  state.SetLabel(native ? "vexo" : "pyload");
  const std::string name = native ? kNativeHost : kPyloadHost;
  const std::string type = native ? "vexo" : "pyload";
  const auto baseline = native ? BaselineSetNative : BaselineSetPyload;
  ScriptSingleHost();
  Json::Value settings(Json::objectValue);
  settings["username"] = "alice";
  settings["password"] = "s3cret";
  settings["enabled"] = true;
  filehosting::Handler handler;
  {
    handler.Set(name, type, settings);
    const std::vector<std::string> library_events = FakeEvents();
    ClearFakeEvents();
    baseline(name, settings);
    if (FakeEvents() != library_events) return FailCheck(state, "the back-end calls differ");
  }
  RunPaired(state, Timing::kThreadCpu, kSingleBatch,
            {[&](int) { handler.Set(name, type, settings); },
             [&](int) { baseline(name, settings); }, ClearFakeEvents});
}
BENCHMARK(BM_Set)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

// ---- Peak memory --------------------------------------------------------------------------------

// The process's peak resident set (VmHWM), in bytes.
long PeakResidentBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10) * 1024;
  }
  throw std::runtime_error("no VmHWM in /proc/self/status");
}

// Lowers the peak to what the process holds now (Linux 4.0 and later).
void ResetPeak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  if (!clear) throw std::runtime_error("cannot reset the peak through /proc/self/clear_refs");
}

int PeakMemory(const std::string& which, int hosts) {
  if (which != "library" && which != "baseline") {
    std::fprintf(stderr, "--peak-memory takes library or baseline\n");
    return 2;
  }
  ScriptListing(hosts);
  filehosting::Handler handler;
  Json::Value out;
  ResetPeak();
  const long before = PeakResidentBytes();
  if (which == "library") {
    handler.List(out);
  } else {
    BaselineList(out);
  }
  const long peak = PeakResidentBytes() - before;
  if (out.size() != static_cast<Json::ArrayIndex>(hosts - 1)) {
    std::fprintf(stderr, "the listing holds %u hosts\n", out.size());
    return 1;
  }
  std::printf("{\"which\": \"%s\", \"hosts\": %d, \"peak_bytes\": %ld, \"bytes_per_host\": %.1f}\n",
              which.c_str(), hosts, peak, static_cast<double>(peak) / hosts);
  return 0;
}

}  // namespace
}  // namespace vexodl::bench

int main(int argc, char** argv) {
  std::string peak_memory;
  int hosts = 100000;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--peak-memory=", 14) == 0) peak_memory = argv[i] + 14;
    if (std::strncmp(argv[i], "--hosts=", 8) == 0) hosts = std::atoi(argv[i] + 8);
  }
  if (!peak_memory.empty()) return vexodl::bench::PeakMemory(peak_memory, hosts);
  return vexodl::bench::RunBenchmarks(argc, argv);
}
