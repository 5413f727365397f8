// Both host kinds read any JSON object as their back-end's description of a host, then write
// their host JSON object: nothing but JsonCpp's own conversion errors may escape, the password
// and the source never appear, and the fixed keys are always there with their fixed values.
#include "fuzz_json.h"
#include "host/pyload.h"
#include "host/vexo.h"

namespace {

using vexodl::fuzz::Check;

template <typename Host>
void Exercise(const Json::Value& description, const char* type) {
  Host host("fuzzed");
  host.password = "secret";
  host.source = "/some/source";
  try {
    host.fromJson(description);
  } catch (const Json::LogicError&) {
    // A member of a kind that JsonCpp cannot turn into a string: refused, as it should be.
  }
  Json::Value written;
  host.toJson(written);
  const Json::Value& out = written;
  Check(out["name"] == "fuzzed" && out["displayname"] == out["name"], "name kept");
  Check(out["type"] == type, "type is the kind's");
  Check(out["enabled"].isBool() && out["removable"].isBool() && out["auth_needed"].isBool(),
        "flags are booleans");
  Check(!out.isMember("password") && !out.isMember("source"), "no secret written");
  for (const char* key : {"description", "version", "username"}) {
    Check(!out.isMember(key) || (out[key].isString() && !out[key].asString().empty()),
          "optional strings are non-empty");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto value = vexodl::fuzz::JsonOf(data, size);
  if (!value || !(value->isObject() || value->isNull())) return 0;
  Exercise<vexodl::filehosting::host::Vexo>(*value, "vexo");
  Exercise<vexodl::filehosting::host::Pyload>(*value, "pyload");
  return 0;
}
