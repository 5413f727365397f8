// The merged catalogue over any listing from either back-end (through the fakes): it returns
// normally, lists no more hosts than elements, never a native "youtube", every host object
// carries a non-empty name and its kind's type, and the JSON listing equals the listed hosts' own
// JSON. One pyLoad host read from the same list is found or missing (100), nothing else.
#include <string>
#include <utility>

#include "error/vexo_error.h"
#include "fake_pyload.h"
#include "fake_vexohost.h"
#include "fuzz_json.h"
#include "handler.h"
#include "host/pyload.h"

using vexodl::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto listing = vexodl::fuzz::JsonOf(data, size);
  if (!listing) return 0;
  vexodl::fake::Vexohost().Reset();
  vexodl::fake::Pyload().Reset();
  vexodl::fake::Vexohost().Fill("List", *listing, 0);
  vexodl::fake::Pyload().Fill("CommandlineHandler.GetAccounts", *listing, 1);
  vexodl::fake::Pyload().Fill("DomainSocketHandler.GetAccounts", *listing, 1);

  Json::Value out;
  try {
    vexodl::filehosting::Handler().List(out);
  } catch (const Json::LogicError&) {
    return 0;  // an element member that JsonCpp cannot read as a string
  }
  const Json::ArrayIndex elements = listing->isArray() || listing->isObject() ? listing->size() : 0;
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
  return 0;
}
