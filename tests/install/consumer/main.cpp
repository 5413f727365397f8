// A program of the kind the download manager builds against the installed library: every
// public header, the facade, and its error crossing the library boundary.
#include <cstdio>

#include "error/vexo_error.h"
#include "handler.h"
#include "host/base.h"
#include "host/pyload.h"
#include "host/vexo.h"
#include "outside/pyload.h"
#include "outside/vexohost.h"

int main() {
  vexodl::filehosting::Handler handler;
  try {
    handler.Verify("h", "VEXO", "u", "p");
  } catch (const vexodl::VexoError& error) {
    std::printf("type error %d \"%s\"\n", error.code, error.what());
  }
  return 0;
}
