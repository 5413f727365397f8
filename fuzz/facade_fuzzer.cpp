// The facade over any JSON, against the fakes. The input's first byte picks the operation (its
// value modulo 2), the rest is the JSON:
// 0. The merged catalogue over any listing from either back-end: no more hosts than elements,
//    never a native "youtube", every host named and of a known type, and the JSON listing is the
//    listed hosts' own JSON.
// 1. Both host kinds read any JSON object as their back-end's description of a host, then write
//    their host JSON object: the password and the source never appear, and the fixed keys are
//    always there with their fixed values.
#include <string>
#include <utility>

#include "fake_pyload.h"
#include "fake_vexohost.h"
#include "fuzz_json.h"
#include "handler.h"
#include "host/pyload.h"
#include "host/vexo.h"

namespace {

using vexodl::fake::Pyload;
using vexodl::fake::Vexohost;
using vexodl::filehosting::Handler;
using vexodl::fuzz::Check;

void Catalogue(const Json::Value& listing) {
  Vexohost().Fill("List", listing, 0);
  Pyload().Fill("CommandlineHandler.GetAccounts", listing, 1);
  Json::Value out;
  try {
    Handler().List(out);
  } catch (const Json::LogicError&) {
    return;  // an element member that JsonCpp cannot read as a string
  }
  const Json::ArrayIndex elements = listing.isArray() || listing.isObject() ? listing.size() : 0;
  Check(out.size() <= 2 * elements, "no more hosts than elements");
  Json::Value expected;
  for (const auto& listed : Handler().List()) {
    Json::Value object;
    listed->toJson(object);
    Check(!object["name"].asString().empty(), "every host is named");
    Check(listed->type == "pyload" || (listed->type == "vexo" && listed->name != "youtube"),
          "a known type, and no native youtube");
    expected.append(std::move(object));
  }
  Check(out == expected, "the JSON listing is its hosts' own JSON");
}

template <typename Host>
void HostJson(const Json::Value& description, const char* type) {
  if (!description.isObject() && !description.isNull()) return;
  Host host("fuzzed");
  host.password = "secret";
  host.source = "/some/source";
  try {
    host.fromJson(description);
  } catch (const Json::LogicError&) {
    // A member of a kind that JsonCpp cannot turn into a string: refused, as it should be.
  }
  Json::Value out;
  host.toJson(out);
  Check(out["name"] == "fuzzed" && out["displayname"] == "fuzzed" && out["type"] == type,
        "name and type kept");
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
  if (size == 0) return 0;
  const auto value = vexodl::fuzz::JsonOf(data + 1, size - 1);
  if (!value) return 0;
  Vexohost().Reset();
  Pyload().Reset();
  if (data[0] % 2 == 0) {
    Catalogue(*value);
  } else {
    HostJson<vexodl::filehosting::host::Vexo>(*value, "vexo");
    HostJson<vexodl::filehosting::host::Pyload>(*value, "pyload");
  }
  return 0;
}
