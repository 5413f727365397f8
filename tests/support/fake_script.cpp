#include "fake_script.h"

#include <utility>

#include "error/vexo_error.h"

namespace vexodl::fake {

void Script::Reset() {
  std::lock_guard<std::mutex> lock(mu_);
  replies_.clear();
  events_.clear();
}

void Script::ClearEvents() {
  std::lock_guard<std::mutex> lock(mu_);
  events_.clear();
}

void Script::Set(const std::string& call, Reply reply) {
  auto shared = std::make_shared<const Reply>(std::move(reply));
  std::lock_guard<std::mutex> lock(mu_);
  replies_[call] = std::move(shared);
}

int Script::DefaultResult(const std::string& call) const {
  auto found = defaults_.find(call);
  return found == defaults_.end() ? default_result_ : found->second;
}

int Script::Run(const std::string& call, std::string event, Json::Value* out) {
  std::shared_ptr<const Reply> reply;
  {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back(std::move(event));
    auto found = replies_.find(call);
    if (found != replies_.end()) reply = found->second;
  }
  if (!reply) return DefaultResult(call);
  if (reply->raise) reply->raise();
  if (out != nullptr) *out = reply->fill;
  return reply->result;
}

std::vector<std::string> Script::Events() const {
  std::lock_guard<std::mutex> lock(mu_);
  return events_;
}

std::function<void()> RaiseVexoError(int code, std::string message) {
  return [code, message] { throw VexoError(code, message.c_str()); };
}

std::string Quote(const std::string& text) { return "\"" + text + "\""; }

}  // namespace vexodl::fake
