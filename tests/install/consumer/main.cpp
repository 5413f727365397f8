// A program of the kind the download manager builds against the installed library: every
// public header, the facade, and errors of both travelling forms crossing the library boundary.
#include <cstdio>
#include <memory>

#include "error/vexo_error.h"
#include "handler.h"
#include "host/base.h"
#include "host/pyload.h"
#include "host/vexo.h"
#include "outside/pyload.h"
#include "outside/vexohost.h"

int main() {
  vexodl::filehosting::Handler handler;

  std::unique_ptr<vexodl::filehosting::host::Base> host(handler.GetCorrespondingHost("h", "vexo"));
  const bool native = dynamic_cast<vexodl::filehosting::host::Vexo*>(host.get()) != nullptr;
  Json::Value object;
  host->toJson(object);
  std::printf("host %s %s %s\n", object["name"].asCString(), object["type"].asCString(),
              native ? "native" : "?");

  try {
    handler.Verify("h", "VEXO", "u", "p");
  } catch (const vexodl::VexoError& error) {
    std::printf("type error %d \"%s\"\n", error.code, error.what());
  }
  try {
    handler.Create("vexo", "");
  } catch (const vexodl::VexoError&) {
    std::printf("wrong: VexoError\n");
  } catch (_tag_VEXODL_ERROR_CODE code) {
    std::printf("bare code %d\n", static_cast<int>(code));
  }
  return 0;
}
