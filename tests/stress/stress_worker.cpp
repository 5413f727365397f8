#include "stress_worker.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "error/vexo_error.h"
#include "handler.h"
#include "host/base.h"
#include "json_text.h"

namespace vexodl::stress {

namespace {

using fake::Compact;
using filehosting::Handler;

constexpr char kVexo[] = "vexo";
constexpr char kPyload[] = "pyload";

const char* TypeOf(HostKind kind) { return kind == HostKind::kPyload ? kPyload : kVexo; }

const char* KindName(HostKind kind) {
  switch (kind) {
    case HostKind::kShipped:
      return "shipped";
    case HostKind::kUser:
      return "user";
    case HostKind::kPyload:
      return "pyload";
  }
  return "?";
}

HostKind KindFromName(const std::string& name) {
  if (name == "shipped") return HostKind::kShipped;
  if (name == "user") return HostKind::kUser;
  if (name == "pyload") return HostKind::kPyload;
  throw std::runtime_error("no host kind " + name);
}

// What the peer's file host says of a login: the "logins" of PyloadPlugin().
struct PyloadVerdict {
  bool valid = false;
  bool premium = false;
  std::string trafficleft;
};

PyloadVerdict CheckPyloadLogin(const std::string& login, const std::string& password) {
  if (login == "good" && password == "pw-good") return {true, false, "7"};
  if (login == "prem" && password == "pw-prem") return {true, true, "42"};
  return {};
}

// Handler::Verify's answer for a pyLoad host: 0 rejected, 1 valid, 2 valid premium.
int PyloadVerification(const std::string& login, const std::string& password) {
  const PyloadVerdict verdict = CheckPyloadLogin(login, password);
  return verdict.valid ? (verdict.premium ? 2 : 1) : 0;
}

// kShippedVerifier's answer.
int ShippedVerification(const std::string& password) {
  if (password.find("premium-pass") != std::string::npos) return 2;
  if (password.find("ok-pass") != std::string::npos) return 1;
  return 0;
}

bool Present(const OwnedHost& host, const HostState& state) {
  return host.kind != HostKind::kUser || state.installed;
}

HostState WithoutAccount(HostState state) {
  state.has_account = false;
  state.username.clear();
  state.password.clear();
  state.use_premium = false;
  return state;
}

// The states that saving the account (username, password) can leave. An empty user name clears
// the account on both back-ends. pyLoad: over the socket the old account is removed first, so the
// new one is used; over the command line a replaced account keeps whether it was used.
std::vector<HostState> AccountSaved(HostKind kind, const HostState& state,
                                    const std::string& username, const std::string& password) {
  if (username.empty()) return {WithoutAccount(state)};
  HostState saved = state;
  saved.has_account = true;
  saved.username = username;
  saved.password = password;
  if (kind != HostKind::kPyload) return {saved};
  saved.use_premium = true;
  std::vector<HostState> states = {saved};
  if (state.has_account && !state.use_premium) {
    saved.use_premium = false;
    states.push_back(saved);
  }
  return states;
}

// How one call ended: normally with a result (Verify's), or with an error code.
struct Observed {
  int code = 0;
  int value = 0;
  std::string message;  // the back-end's message, for failure reports
};

// One way a call may end from a given state, and the state it leaves. When `json` is not null,
// the call's output must equal it.
struct Outcome {
  int code = 0;
  int value = 0;
  HostState next;
  Json::Value json;
};
using Predict = std::function<std::vector<Outcome>(const HostState&)>;

std::vector<Outcome> Done(const std::vector<HostState>& states) {
  std::vector<Outcome> outcomes;
  for (const HostState& state : states) outcomes.push_back({0, 0, state, Json::Value()});
  return outcomes;
}

std::vector<Outcome> Refused(int code, const HostState& state) {
  return {{code, 0, state, Json::Value()}};
}

std::string DescribeObserved(const Observed& seen) {
  if (seen.code == 0) return "success with " + std::to_string(seen.value);
  return "error " + std::to_string(seen.code) + (seen.message.empty() ? "" : " " + seen.message);
}

std::string DescribeOutcome(const Outcome& outcome) {
  std::string text = outcome.code == 0 ? "success with " + std::to_string(outcome.value)
                                       : "error " + std::to_string(outcome.code);
  if (!outcome.json.isNull()) text += " and " + Compact(outcome.json);
  return text;
}

Json::Value StateJson(const HostState& state) {
  Json::Value json(Json::objectValue);
  json["installed"] = state.installed;
  json["version"] = state.version;
  if (state.has_account) {
    json["account"]["username"] = state.username;
    json["account"]["password"] = state.password;
  } else {
    json["account"] = Json::Value();
  }
  json["enabled"] = state.enabled ? Json::Value(*state.enabled) : Json::Value();
  json["use_premium"] = state.use_premium;
  return json;
}

HostState StateFromJson(const Json::Value& json) {
  HostState state;
  state.installed = json["installed"].asBool();
  state.version = json["version"].asString();
  if (json["account"].isObject()) {
    state.has_account = true;
    state.username = json["account"]["username"].asString();
    state.password = json["account"]["password"].asString();
  }
  if (json["enabled"].isBool()) state.enabled = json["enabled"].asBool();
  state.use_premium = json["use_premium"].asBool();
  return state;
}

class Worker {
 public:
  explicit Worker(const WorkerConfig& config) : config_(config), random_(config.seed) {
    report_.id = config.id;
    report_.hosts = InitialHosts(config.id);
  }

  WorkerReport Run() {
    const auto end = std::chrono::steady_clock::now() + config_.duration;
    try {
      while (!stopped_ && std::chrono::steady_clock::now() < end) Step();
    } catch (const std::exception& error) {
      Fail(std::string("unexpected exception: ") + error.what());
    } catch (...) {
      Fail("unexpected exception of another type");
    }
    return report_;
  }

 private:
  using Operation = void (Worker::*)(OwnedHost&);
  struct Choice {
    int weight;
    Operation operation;
  };

  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
  bool Coin() { return Pick(2) == 1; }

  std::string NativeUsername() { return "user" + std::to_string(Pick(100)); }
  std::string NativePassword() {
    static const char* const kKinds[] = {"ok-pass-", "premium-pass-", "plain-"};
    return kKinds[Pick(3)] + std::to_string(Pick(1000));
  }
  std::pair<std::string, std::string> PyloadCredentials() {
    switch (Pick(5)) {
      case 0:
        return {"good", "pw-good"};
      case 1:
        return {"prem", "pw-prem"};
      case 2:
        return {"good", "wrong-" + std::to_string(Pick(1000))};
      case 3:
        return {"bad", "pw-bad"};
      default:
        return {"other" + std::to_string(Pick(100)), "pw-" + std::to_string(Pick(1000))};
    }
  }
  std::pair<std::string, std::string> Credentials(const OwnedHost& host) {
    if (host.kind == HostKind::kPyload) return PyloadCredentials();
    return {NativeUsername(), NativePassword()};
  }

  void Step() {
    // Listings start pyLoad's command-line program, slow to start: a few of them go a long way.
    const int roll = Pick(100);
    if (roll < 3) return ListJson();
    if (roll < 5) return ListRecords();
    if (roll < 7) return CorrespondingHost();
    OwnedHost& host = report_.hosts[static_cast<std::size_t>(Pick(3))];
    static const Choice kCommon[] = {
        {18, &Worker::SetAccount},         {4, &Worker::ClearAccount},
        {15, &Worker::SetEnabled},         {10, &Worker::SetBoth},
        {8, &Worker::RemoveAccount},       {20, &Worker::Get},
        {2, &Worker::UserWithoutPassword}, {2, &Worker::SetNothing},
    };
    // pyLoad verifies over its command-line program, native hosts with a small shell script.
    const Choice verify = {host.kind == HostKind::kPyload ? 2 : 7, &Worker::Verify};
    static const Choice kUserOnly[] = {
        {5, &Worker::Create}, {3, &Worker::Update}, {2, &Worker::Delete}};
    static const Choice kRefusedManagement[] = {{2, &Worker::RefusedManagement}};
    std::vector<Choice> choices(std::begin(kCommon), std::end(kCommon));
    choices.push_back(verify);
    if (host.kind == HostKind::kUser) {
      choices.insert(choices.end(), std::begin(kUserOnly), std::end(kUserOnly));
    } else {
      choices.insert(choices.end(), std::begin(kRefusedManagement), std::end(kRefusedManagement));
    }
    int total = 0;
    for (const Choice& choice : choices) total += choice.weight;
    int at = Pick(total);
    for (const Choice& choice : choices) {
      if (at < choice.weight) return (this->*choice.operation)(host);
      at -= choice.weight;
    }
  }

  // -- one host ----------------------------------------------------------------------------------

  void SetAccount(OwnedHost& host) {
    const auto [username, password] = Credentials(host);
    SaveAccount(host, "Set(account)", username, password);
  }

  // An empty user name clears the account, whatever the password.
  void ClearAccount(OwnedHost& host) {
    SaveAccount(host, "Set(no account)", "", Coin() ? "" : "stray" + std::to_string(Pick(10)));
  }

  void SaveAccount(OwnedHost& host, const std::string& operation, const std::string& username,
                   const std::string& password) {
    Json::Value settings(Json::objectValue);
    settings["username"] = username;
    settings["password"] = password;
    const Observed seen = Call([&] { handler_.Set(host.name, TypeOf(host.kind), settings); });
    Resolve(host, operation, seen, [&](const HostState& state) {
      if (!Present(host, state)) return Refused(2002, state);
      return Done(AccountSaved(host.kind, state, username, password));
    });
  }

  void SetEnabled(OwnedHost& host) {
    const bool enabled = Coin();
    Json::Value settings(Json::objectValue);
    settings["enabled"] = enabled;
    const Observed seen = Call([&] { handler_.Set(host.name, TypeOf(host.kind), settings); });
    Resolve(host, "Set(enabled)", seen, [&](const HostState& state) {
      if (!Present(host, state)) return Refused(2002, state);
      HostState next = state;
      if (host.kind == HostKind::kPyload) {
        // pyLoad's enabled state is whether it uses the account: without one there is none.
        if (!state.has_account) return Refused(VEXODL_ERR_SET_ENABLED, state);
        next.use_premium = enabled;
      } else {
        next.enabled = enabled;
      }
      return Done({next});
    });
  }

  // The account, then the enabled state, in one Set.
  void SetBoth(OwnedHost& host) {
    auto [username, password] = Credentials(host);
    if (Pick(10) == 0) username.clear();
    const bool enabled = Coin();
    Json::Value settings(Json::objectValue);
    settings["username"] = username;
    settings["password"] = password;
    settings["enabled"] = enabled;
    const Observed seen = Call([&] { handler_.Set(host.name, TypeOf(host.kind), settings); });
    Resolve(
        host, "Set(account, enabled)", seen,
        [&](const HostState& state) {
          if (!Present(host, state)) return Refused(2002, state);
          std::vector<Outcome> outcomes;
          for (HostState next : AccountSaved(host.kind, state, username, password)) {
            if (host.kind != HostKind::kPyload) {
              next.enabled = enabled;
            } else if (!next.has_account) {
              outcomes.push_back({VEXODL_ERR_SET_ENABLED, 0, next, Json::Value()});
              continue;
            } else {
              next.use_premium = enabled;
            }
            outcomes.push_back({0, 0, next, Json::Value()});
          }
          return outcomes;
        },
        // Busy during the enabled part: the account part is stored.
        [&](const HostState& state) {
          return Present(host, state) ? AccountSaved(host.kind, state, username, password)
                                      : std::vector<HostState>{};
        });
  }

  void RemoveAccount(OwnedHost& host) {
    const Observed seen = Call([&] { handler_.RemoveAccount(host.name, TypeOf(host.kind)); });
    Resolve(host, "RemoveAccount", seen, [&](const HostState& state) {
      if (!Present(host, state)) return Refused(2002, state);
      return Done({WithoutAccount(state)});
    });
  }

  void Get(OwnedHost& host) {
    Json::Value out;
    const Observed seen = Call([&] { handler_.Get(out, host.name, TypeOf(host.kind)); });
    Resolve(
        host, "Get", seen,
        [&](const HostState& state) -> std::vector<Outcome> {
          if (!Present(host, state)) return Refused(2002, state);
          return {{0, 0, state, ExpectedHostJson(host, state)}};
        },
        nullptr, &out);
  }

  void Verify(OwnedHost& host) {
    const auto [username, password] = Credentials(host);
    const Observed seen =
        Call([&] { return handler_.Verify(host.name, TypeOf(host.kind), username, password); });
    Resolve(host, "Verify", seen, [&](const HostState& state) -> std::vector<Outcome> {
      if (!Present(host, state)) return Refused(2002, state);
      int verdict = 0;
      switch (host.kind) {
        case HostKind::kShipped:
          verdict = ShippedVerification(password);
          break;
        case HostKind::kUser:  // the packaged verifier tells its version
          verdict = state.version == kOldVersion ? 1 : 2;
          break;
        case HostKind::kPyload:
          verdict = PyloadVerification(username, password);
          break;
      }
      return {{0, verdict, state, Json::Value()}};
    });
  }

  // Refused by the library before any back-end is asked.
  void UserWithoutPassword(OwnedHost& host) {
    Json::Value settings(Json::objectValue);
    settings["username"] = NativeUsername();
    settings["password"] = "";
    settings["enabled"] = Coin();
    const Observed seen = Call([&] { handler_.Set(host.name, TypeOf(host.kind), settings); });
    Resolve(host, "Set(user name without password)", seen,
            [&](const HostState& state) { return Refused(VEXODL_ERR_PASSWORD_REQUIRED, state); });
  }

  // Members of the wrong kinds are ignored: no back-end is asked.
  void SetNothing(OwnedHost& host) {
    Json::Value settings(Json::objectValue);
    settings["username"] = NativeUsername();
    settings["password"] = 5;
    settings["enabled"] = "yes";
    const Observed seen = Call([&] { handler_.Set(host.name, TypeOf(host.kind), settings); });
    Resolve(host, "Set(ignored members)", seen,
            [&](const HostState& state) { return Done({state}); });
  }

  void Create(OwnedHost& host) {
    const std::string version = Coin() ? kOldVersion : kNewVersion;
    const std::string package = PackagePath(config_.packages_dir, config_.id, version);
    const Observed seen = Call([&] { handler_.Create(kVexo, package); });
    // A plug-in installed again keeps its account and enabled state; one deleted before has none.
    Resolve(host, "Create", seen, [&](const HostState& state) {
      HostState next = state;
      next.installed = true;
      next.version = version;
      return Done({next});
    });
  }

  void Update(OwnedHost& host) {
    const Observed seen = Call([&] { handler_.Update(host.name, kVexo); });
    Resolve(host, "Update", seen, [&](const HostState& state) {
      if (!state.installed) return Refused(2002, state);
      HostState next = state;
      next.version = kNewVersion;  // what the update server offers; an older one is replaced
      return Done({next});
    });
  }

  void Delete(OwnedHost& host) {
    const Observed seen = Call([&] { handler_.Delete(host.name, kVexo); });
    Resolve(host, "Delete", seen, [&](const HostState& state) {
      if (!state.installed) return Refused(2002, state);
      HostState next = WithoutAccount(state);
      next.installed = false;
      next.version.clear();
      next.enabled.reset();
      return Done({next});
    });
  }

  // Shipped plug-ins cannot be updated or deleted (2004); pyLoad's are not managed here (1611).
  void RefusedManagement(OwnedHost& host) {
    const bool update = Coin();
    const Observed seen = Call([&] {
      if (update) {
        handler_.Update(host.name, TypeOf(host.kind));
      } else {
        handler_.Delete(host.name, TypeOf(host.kind));
      }
    });
    const int code = host.kind == HostKind::kPyload ? VEXODL_ERR_NOT_SUPPORTED : 2004;
    Resolve(host, update ? "Update" : "Delete", seen,
            [&](const HostState& state) { return Refused(code, state); });
  }

  // -- the catalogue -----------------------------------------------------------------------------

  void ListJson() {
    Json::Value listing;
    handler_.List(listing);
    CheckListing("List(json)", listing);
  }

  void ListRecords() {
    Json::Value listing(Json::arrayValue);
    for (const std::shared_ptr<filehosting::host::Base>& host : handler_.List()) {
      Json::Value object;
      host->toJson(object);
      listing.append(std::move(object));
    }
    CheckListing("List()", listing);
  }

  // Every pyLoad host first, then the native ones, each kind sorted by name as its back-end
  // lists it; this worker's hosts as it last stored them.
  void CheckListing(const std::string& operation, const Json::Value& listing) {
    OperationCount& count = report_.operations[operation];
    ++count.calls;
    Remember(operation + " listed " + std::to_string(listing.size()));
    std::string previous_type;
    std::string previous_name;
    std::map<std::string, Json::Value> found;
    for (const Json::Value& host : listing) {
      const std::string type = host["type"].asString();
      const std::string name = host["name"].asString();
      if (type != kPyload && type != kVexo) return Fail(operation + " listed " + Compact(host));
      if (type == previous_type && name <= previous_name) {
        return Fail(operation + " listed " + name + " after " + previous_name);
      }
      if (type == kPyload && previous_type == kVexo) {
        return Fail(operation + " listed pyLoad host " + name + " after the native ones");
      }
      previous_type = type;
      previous_name = name;
      found[type + "/" + name] = host;
    }
    if (found.count(std::string(kVexo) + "/" + kFixedUserPlugin) == 0) {
      return Fail(operation + " left out the native hosts: " + Compact(listing));
    }
    for (OwnedHost& host : report_.hosts) {
      const auto listed = found.find(std::string(TypeOf(host.kind)) + "/" + host.name);
      const Json::Value got = listed == found.end() ? Json::Value() : listed->second;
      std::vector<HostState> left;
      for (const HostState& state : host.candidates) {
        if (ExpectedHostJson(host, state) == got) left.push_back(state);
      }
      if (left.empty()) {
        return Fail(operation + " listed " + host.name + " as " + Compact(got) + ", expected " +
                    Expectations(host));
      }
      host.candidates = std::move(left);
    }
    ++count.done;
  }

  void CorrespondingHost() {
    OwnedHost& host = report_.hosts[static_cast<std::size_t>(Pick(3))];
    OperationCount& count = report_.operations["GetCorrespondingHost"];
    ++count.calls;
    const std::unique_ptr<filehosting::host::Base> record(
        handler_.GetCorrespondingHost(host.name, TypeOf(host.kind)));
    if (record->name != host.name || record->type != TypeOf(host.kind)) {
      return Fail("GetCorrespondingHost(" + host.name + ") made " + record->name + " of type " +
                  record->type);
    }
    ++count.done;
    const Observed seen = Call([&] { delete handler_.GetCorrespondingHost(host.name, "Vexo"); });
    Resolve(host, "GetCorrespondingHost(bad type)", seen,
            [&](const HostState& state) { return Refused(VEXODL_ERR_HOST_TYPE, state); });
  }

  // -- judging -----------------------------------------------------------------------------------

  template <typename Function>
  static Observed Call(Function&& call) {
    Observed seen;
    try {
      if constexpr (std::is_void_v<decltype(call())>) {
        call();
      } else {
        seen.value = call();
      }
    } catch (const VexoError& error) {
      seen.code = error.code;
      seen.message = error.what();
    } catch (const _tag_VEXODL_ERROR_CODE& code) {
      seen.code = code;
    }
    return seen;
  }

  // Keeps the states in which `host` may now be, from the outcomes that `predict` gives for each
  // state it may have been in and that match `seen` (and `out`, for a call with output). A native
  // call that met contention (IsContentionCode) changed nothing but, for a Set of both, what
  // `partial` says.
  void Resolve(OwnedHost& host, const std::string& operation, const Observed& seen,
               const Predict& predict,
               const std::function<std::vector<HostState>(const HostState&)>& partial = nullptr,
               const Json::Value* out = nullptr) {
    const std::string key = std::string(KindName(host.kind)) + " " + operation;
    OperationCount& count = report_.operations[key];
    ++count.calls;
    Remember(key + " " + host.name + ": " + DescribeObserved(seen));
    std::vector<HostState> next;
    const bool contention = host.kind != HostKind::kPyload && IsContentionCode(seen.code);
    for (const HostState& state : host.candidates) {
      if (contention) {
        next.push_back(state);
        if (partial) {
          for (const HostState& part : partial(state)) next.push_back(part);
        }
        continue;
      }
      for (const Outcome& outcome : predict(state)) {
        if (outcome.code != seen.code || outcome.value != seen.value) continue;
        if (!outcome.json.isNull() && (out == nullptr || *out != outcome.json)) continue;
        next.push_back(outcome.next);
      }
    }
    if (next.empty()) {
      std::string expected;
      for (const HostState& state : host.candidates) {
        for (const Outcome& outcome : predict(state)) {
          expected += (expected.empty() ? "" : " or ") + DescribeOutcome(outcome);
        }
      }
      return Fail(key + " " + host.name + " gave " + DescribeObserved(seen) +
                  (out != nullptr ? " and " + Compact(*out) : "") + ", expected " + expected +
                  " from " + Candidates(host));
    }
    std::vector<HostState> unique;
    for (const HostState& state : next) {
      if (std::find(unique.begin(), unique.end(), state) == unique.end()) unique.push_back(state);
    }
    host.candidates = std::move(unique);
    if (contention) {
      ++count.busy;
    } else if (seen.code == 0) {
      ++count.done;
    } else {
      ++count.refused;
    }
  }

  std::string Candidates(const OwnedHost& host) const {
    std::string text;
    for (const HostState& state : host.candidates) {
      text += (text.empty() ? "" : " or ") + Describe(state);
    }
    return text;
  }

  std::string Expectations(const OwnedHost& host) const {
    std::string text;
    for (const HostState& state : host.candidates) {
      text += (text.empty() ? "" : " or ") + Compact(ExpectedHostJson(host, state));
    }
    return text;
  }

  void Remember(std::string line) {
    history_.push_back(std::move(line));
    if (history_.size() > 12) history_.pop_front();
  }

  // Ends the worker: after one unexpected outcome its knowledge of its hosts is gone.
  void Fail(const std::string& what) {
    std::string text = "worker " + config_.id + ": " + what + "\n  its last calls:";
    for (const std::string& line : history_) text += "\n    " + line;
    report_.failures.push_back(text);
    stopped_ = true;
  }

  const WorkerConfig config_;
  std::mt19937 random_;
  Handler handler_;
  WorkerReport report_;
  std::deque<std::string> history_;
  bool stopped_ = false;
};

}  // namespace

bool HostState::operator==(const HostState& other) const {
  return installed == other.installed && version == other.version &&
         has_account == other.has_account && username == other.username &&
         password == other.password && enabled == other.enabled && use_premium == other.use_premium;
}

bool IsContentionCode(int code) { return code == 2102 || code == 2201; }

std::string ShippedName(const std::string& id) { return "s-" + id; }
std::string UserName(const std::string& id) { return "u-" + id; }
std::string PyloadName(const std::string& id) { return "P-" + id; }

std::string PackagePath(const std::string& packages_dir, const std::string& id,
                        const std::string& version) {
  return packages_dir + "/" + UserName(id) + "-" + version +
         (version == kOldVersion ? ".tar.gz" : ".zip");
}

const char kShippedVerifier[] =
    "#!/bin/sh\n"
    "read -r request\n"
    "case \"$request\" in\n"
    "  *premium-pass*) echo '{\"result\": 2}' ;;\n"
    "  *ok-pass*) echo '{\"result\": 1}' ;;\n"
    "  *) echo '{\"result\": 0}' ;;\n"
    "esac\n";

std::string ShippedManifest(const std::string& name) {
  return R"({"format": 1, "name": ")" + name + R"(", "description": "about )" + name +
         R"(", "version": ")" + kOldVersion +
         R"(", "authentication": "yes", "verifier": "verify"})";
}

Json::Value PyloadPlugin() {
  return fake::ParseJson(std::string(R"({"version": ")") + kPyloadPluginVersion + R"(",
      "logins": {"good": {"password": "pw-good", "trafficleft": "7"},
                 "prem": {"password": "pw-prem", "premium": true, "trafficleft": "42"}}})");
}

std::vector<OwnedHost> InitialHosts(const std::string& id) {
  HostState native;
  native.version = kOldVersion;
  return {{ShippedName(id), HostKind::kShipped, {native}},
          {UserName(id), HostKind::kUser, {native}},
          {PyloadName(id), HostKind::kPyload, {HostState{}}}};
}

Json::Value ExpectedHostJson(const OwnedHost& host, const HostState& state) {
  if (!Present(host, state)) return Json::Value();
  Json::Value out(Json::objectValue);
  out["name"] = host.name;
  out["type"] = TypeOf(host.kind);
  out["displayname"] = host.name;
  out["removable"] = host.kind == HostKind::kUser;
  out["auth_needed"] = true;
  if (host.kind == HostKind::kPyload) {
    out["enabled"] = state.has_account && state.use_premium;
    out["description"] = "pyLoad Plugin";
    out["version"] = kPyloadPluginVersion;
    if (state.has_account) {
      const PyloadVerdict verdict = CheckPyloadLogin(state.username, state.password);
      out["username"] = state.username;
      if (verdict.premium) out["premium"] = true;
      out["valid"] = verdict.valid;
      out["trafficleft"] = verdict.trafficleft;
    }
    return out;
  }
  out["enabled"] = state.enabled.value_or(true);
  out["description"] = "about " + host.name;
  out["version"] = state.version;
  if (state.has_account) out["username"] = state.username;
  // The update server offers every user plug-in at kNewVersion, and the store keeps its index.
  if (host.kind == HostKind::kUser && state.version != kNewVersion) out["newversion"] = kNewVersion;
  return out;
}

std::string ExpectedRow(const HostState& state) {
  if (!state.has_account && !state.enabled) return "<none>";
  std::string row = state.enabled ? (*state.enabled ? "1" : "0") : "NULL";
  row += state.has_account ? "|" + state.username + "|" + state.password : "|NULL|NULL";
  return row;
}

Json::Value ExpectedPyloadAccount(const HostState& state) {
  if (!state.has_account) return Json::Value();
  const PyloadVerdict verdict = CheckPyloadLogin(state.username, state.password);
  Json::Value account(Json::objectValue);
  account["login"] = state.username;
  account["password"] = state.password;
  account["valid"] = verdict.valid;
  account["premium"] = verdict.premium;
  account["trafficleft"] = verdict.trafficleft;
  account["use_premium"] = state.use_premium;
  return account;
}

WorkerReport RunWorker(const WorkerConfig& config) { return Worker(config).Run(); }

Json::Value ToJson(const WorkerReport& report) {
  Json::Value json(Json::objectValue);
  json["id"] = report.id;
  json["hosts"] = Json::Value(Json::arrayValue);
  for (const OwnedHost& host : report.hosts) {
    Json::Value entry(Json::objectValue);
    entry["name"] = host.name;
    entry["kind"] = KindName(host.kind);
    entry["candidates"] = Json::Value(Json::arrayValue);
    for (const HostState& state : host.candidates) entry["candidates"].append(StateJson(state));
    json["hosts"].append(std::move(entry));
  }
  json["operations"] = Json::Value(Json::objectValue);
  for (const auto& [name, count] : report.operations) {
    Json::Value entry(Json::objectValue);
    entry["calls"] = Json::Value(static_cast<Json::Int64>(count.calls));
    entry["done"] = Json::Value(static_cast<Json::Int64>(count.done));
    entry["refused"] = Json::Value(static_cast<Json::Int64>(count.refused));
    entry["busy"] = Json::Value(static_cast<Json::Int64>(count.busy));
    json["operations"][name] = std::move(entry);
  }
  json["failures"] = Json::Value(Json::arrayValue);
  for (const std::string& failure : report.failures) json["failures"].append(failure);
  return json;
}

WorkerReport ReportFromJson(const Json::Value& json) {
  if (!json.isObject() || !json["id"].isString() || !json["hosts"].isArray() ||
      !json["operations"].isObject() || !json["failures"].isArray()) {
    throw std::runtime_error("not a worker report: " + Compact(json));
  }
  WorkerReport report;
  report.id = json["id"].asString();
  for (const Json::Value& entry : json["hosts"]) {
    OwnedHost host;
    host.name = entry["name"].asString();
    host.kind = KindFromName(entry["kind"].asString());
    for (const Json::Value& state : entry["candidates"]) {
      host.candidates.push_back(StateFromJson(state));
    }
    report.hosts.push_back(std::move(host));
  }
  for (const std::string& name : json["operations"].getMemberNames()) {
    const Json::Value& entry = json["operations"][name];
    OperationCount& count = report.operations[name];
    count.calls = entry["calls"].asInt64();
    count.done = entry["done"].asInt64();
    count.refused = entry["refused"].asInt64();
    count.busy = entry["busy"].asInt64();
  }
  for (const Json::Value& failure : json["failures"]) report.failures.push_back(failure.asString());
  return report;
}

std::string Describe(const HostState& state) { return Compact(StateJson(state)); }

}  // namespace vexodl::stress
