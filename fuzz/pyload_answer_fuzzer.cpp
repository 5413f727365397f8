// The pyLoad client's reading of an answer, which comes from another process: any bytes give a
// result or nothing, never a crash or an exception, and the readings stay in their ranges. Nothing
// comes with a reason fit for a log line: one that the escaper leaves as it is (UTF-8 without a
// control character).
#include <string>

#include "escape.h"
#include "fuzz_json.h"
#include "protocol.h"

using vexodl::fuzz::Check;
namespace protocol = vexodl::pyload::internal;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string answer(reinterpret_cast<const char*>(data), size);
  std::string failure;
  std::optional<Json::Value> result = protocol::ResultOf(answer, &failure);
  if (!result) {
    Check(!failure.empty(), "no result says why");
    Check(vexodl::common::Escape(failure) == failure,
          "the reason is UTF-8 with no control character");
    return 0;
  }
  const int verification = protocol::VerificationOf(*result);
  Check(verification >= 0 && verification <= 3, "verification in 0..3");
  protocol::IsDone(*result);
  protocol::IsServerVersion(*result);
  Json::Value accounts;
  if (protocol::TakeAccounts(std::move(*result), &accounts)) {
    Check(accounts.isArray(), "accounts are an array");
    for (const Json::Value& account : accounts) {
      Check(account.isObject(), "every account is an object");
      for (const char* key : {"pluginname", "type"}) {
        Check(!account.isMember(key) || account[key].isString(), "names are strings");
      }
    }
  }
  return 0;
}
