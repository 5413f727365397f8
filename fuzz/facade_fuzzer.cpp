// The facade over any JSON, against the fakes. The input's first byte picks the operation (its
// value modulo 3; the seeds start with '0', '1' or '2'), the rest is the JSON:
// 0. The merged catalogue over any listing from either back-end: it returns normally, lists no
//    more hosts than elements, never a native "youtube", every host object carries a non-empty
//    name and its kind's type, and the JSON listing equals the listed hosts' own JSON. One pyLoad
//    host read from the same list is found or missing (100), nothing else.
// 1. Both host kinds read any JSON object as their back-end's description of a host, then write
//    their host JSON object: nothing but JsonCpp's own conversion errors may escape, the password
//    and the source never appear, and the fixed keys are always there with their fixed values.
// 2. Handler::Set with any settings value: only the documented errors leave it, a settings value
//    that is no object saves nothing, and a user name without a password never reaches a
//    back-end.
#include <string>
#include <utility>

#include "error/vexo_error.h"
#include "fake_pyload.h"
#include "fake_vexohost.h"
#include "fuzz_json.h"
#include "handler.h"
#include "host/pyload.h"
#include "host/vexo.h"

namespace {

using vexodl::fuzz::Check;

void Catalogue(const Json::Value& listing) {
  vexodl::fake::Vexohost().Fill("List", listing, 0);
  vexodl::fake::Pyload().Fill("CommandlineHandler.GetAccounts", listing, 1);
  vexodl::fake::Pyload().Fill("DomainSocketHandler.GetAccounts", listing, 1);
  Json::Value out;
  try {
    vexodl::filehosting::Handler().List(out);
  } catch (const Json::LogicError&) {
    return;  // an element member that JsonCpp cannot read as a string
  }
  const Json::ArrayIndex elements = listing.isArray() || listing.isObject() ? listing.size() : 0;
  Check(out.isNull() || out.size() <= 2 * elements, "no more hosts than elements");
  Json::Value expected;
  for (const auto& listed : vexodl::filehosting::Handler().List()) {
    Json::Value object;
    listed->toJson(object);
    const std::string name = object["name"].asString();
    Check(!name.empty(), "every host is named");
    Check(listed->type == "pyload" || (listed->type == "vexo" && name != "youtube"),
          "a known type, and no native youtube");
    expected.append(std::move(object));
  }
  Check(out == expected, "the JSON listing is its hosts' own JSON");

  vexodl::filehosting::host::Pyload host("youtube");
  try {
    host.Get();
  } catch (const vexodl::VexoError& error) {
    Check(error.code == 100, "Get fails only with 100");
  } catch (const Json::LogicError&) {
  }
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

void Set(const Json::Value& settings) {
  const bool object = settings.isObject() || settings.isNull();
  for (const char* type : {"vexo", "pyload"}) {
    vexodl::fake::Vexohost().Reset();
    vexodl::fake::Pyload().Reset();
    bool refused_kind = false;
    int code = 0;
    try {
      vexodl::filehosting::Handler().Set("h", type, settings);
    } catch (const Json::LogicError&) {
      refused_kind = true;
    } catch (const vexodl::VexoError& error) {
      code = error.code;
    }
    Check(refused_kind == !object, "exactly the non-objects are refused");
    const bool contacted =
        !vexodl::fake::Vexohost().Events().empty() || !vexodl::fake::Pyload().Events().empty();
    Check(!contacted || (object && code != 528), "refusals come before any back-end");
    const Json::Value& user = object ? settings["username"] : Json::Value::nullSingleton();
    const Json::Value& pass = object ? settings["password"] : Json::Value::nullSingleton();
    Check(code != 0 || !user.isString() || !pass.isString() || user.asString().empty() ||
              !pass.asString().empty(),
          "a user name without a password is refused");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const auto value = vexodl::fuzz::JsonOf(data + 1, size - 1);
  if (!value) return 0;
  vexodl::fake::Vexohost().Reset();
  vexodl::fake::Pyload().Reset();
  switch (data[0] % 3) {
    case 0:
      Catalogue(*value);
      break;
    case 1:
      HostJson<vexodl::filehosting::host::Vexo>(*value, "vexo");
      HostJson<vexodl::filehosting::host::Pyload>(*value, "pyload");
      break;
    default:
      Set(*value);
  }
  return 0;
}
