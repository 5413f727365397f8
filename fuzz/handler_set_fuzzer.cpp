// Handler::Set with any settings value, against the fakes: only the documented errors leave it,
// a settings value that is no object saves nothing, and a user name without a password never
// reaches a back-end.
#include <string>

#include "error/vexo_error.h"
#include "fake_pyload.h"
#include "fake_vexohost.h"
#include "fuzz_json.h"
#include "handler.h"

using vexodl::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto settings = vexodl::fuzz::JsonOf(data, size);
  if (!settings) return 0;
  vexodl::filehosting::Handler handler;
  for (const char* type : {"vexo", "pyload"}) {
    vexodl::fake::Vexohost().Reset();
    vexodl::fake::Pyload().Reset();
    bool refused_kind = false;
    int code = 0;
    try {
      handler.Set("h", type, *settings);
    } catch (const Json::LogicError&) {
      refused_kind = true;
    } catch (const vexodl::VexoError& error) {
      code = error.code;
    }
    const bool object = settings->isObject() || settings->isNull();
    Check(refused_kind == !object, "exactly the non-objects are refused");
    const auto contacted =
        vexodl::fake::Vexohost().Events().size() + vexodl::fake::Pyload().Events().size();
    if (!object) Check(contacted == 0, "a refused settings value contacts no back-end");
    if (code == VEXODL_ERR_PASSWORD_REQUIRED) Check(contacted == 0, "528 before any back-end");
    if (object && code == 0) {
      const Json::Value& user = (*settings)["username"];
      const Json::Value& pass = (*settings)["password"];
      const bool account = user.isString() && pass.isString();
      Check(!(account && !user.asString().empty() && pass.asString().empty()),
            "a user name without a password is refused");
    }
  }
  return 0;
}
