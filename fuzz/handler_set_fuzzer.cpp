// Handler::Set with any settings value, against the fakes: only the documented errors leave it,
// a settings value that is no object saves nothing, and a user name without a password never
// reaches a back-end.
#include "error/vexo_error.h"
#include "fake_pyload.h"
#include "fake_vexohost.h"
#include "fuzz_json.h"
#include "handler.h"

using vexodl::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto settings = vexodl::fuzz::JsonOf(data, size);
  if (!settings) return 0;
  const bool object = settings->isObject() || settings->isNull();
  for (const char* type : {"vexo", "pyload"}) {
    vexodl::fake::Vexohost().Reset();
    vexodl::fake::Pyload().Reset();
    bool refused_kind = false;
    int code = 0;
    try {
      vexodl::filehosting::Handler().Set("h", type, *settings);
    } catch (const Json::LogicError&) {
      refused_kind = true;
    } catch (const vexodl::VexoError& error) {
      code = error.code;
    }
    Check(refused_kind == !object, "exactly the non-objects are refused");
    const bool contacted =
        !vexodl::fake::Vexohost().Events().empty() || !vexodl::fake::Pyload().Events().empty();
    Check(!contacted || (object && code != 528), "refusals come before any back-end");
    const Json::Value& user = object ? (*settings)["username"] : Json::Value::nullSingleton();
    const Json::Value& pass = object ? (*settings)["password"] : Json::Value::nullSingleton();
    Check(code != 0 || !user.isString() || !pass.isString() || user.asString().empty() ||
              !pass.asString().empty(),
          "a user name without a password is refused");
  }
  return 0;
}
