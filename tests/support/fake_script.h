#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <json/value.h>

#include "json_text.h"

namespace vexodl::fake {

// Reply is what one call of a fake back-end does, in this order: run `raise` when it is set (it
// throws), fill the call's output value with `fill` when the call has one, return `result`
// (for calls that return bool, zero is false).
struct Reply {
  int result = 0;
  Json::Value fill;
  std::function<void()> raise;
};

// Script drives one fake back-end: the replies that tests script per call name ("List",
// "DomainSocketHandler.UpdateAccount", ...) and the requests the fake received (each call with its
// host and arguments), in order. Thread-safe.
class Script {
 public:
  // Unscripted calls return `default_result`, or their entry in `defaults`.
  explicit Script(int default_result, std::map<std::string, int> defaults = {})
      : default_result_(default_result), defaults_(std::move(defaults)) {}

  // Forgets every reply and event.
  void Reset();
  // Forgets the events seen so far and keeps the replies, so that a benchmark that calls a fake
  // millions of times holds no more than one batch's events.
  void ClearEvents();

  // What `call` does from now on.
  void Set(const std::string& call, Reply reply);
  void Return(const std::string& call, int result) { Set(call, Reply{result, {}, {}}); }
  void Fill(const std::string& call, Json::Value fill, int result) {
    Set(call, Reply{result, std::move(fill), {}});
  }
  void Throw(const std::string& call, std::function<void()> raise) {
    Set(call, Reply{DefaultResult(call), {}, std::move(raise)});
  }

  // Records `event`, then performs the reply scripted for `call` (or returns the default result)
  // on `out`. Used by the fakes themselves.
  int Run(const std::string& call, std::string event, Json::Value* out = nullptr);

  std::vector<std::string> Events() const;

 private:
  int DefaultResult(const std::string& call) const;

  const int default_result_;
  const std::map<std::string, int> defaults_;
  mutable std::mutex mu_;
  std::map<std::string, std::shared_ptr<const Reply>> replies_;
  std::vector<std::string> events_;
};

// A raise action that throws vexodl::VexoError(code, message).
std::function<void()> RaiseVexoError(int code, std::string message);

// How events show string arguments: in double quotes. JSON arguments show as Compact() text.
std::string Quote(const std::string& text);

}  // namespace vexodl::fake
