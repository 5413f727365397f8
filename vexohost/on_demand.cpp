#include "on_demand.h"

#include <dlfcn.h>

#include <mutex>

#include "errors.h"

namespace vexodl::vexohost::internal {

namespace {

// dlerror's text is per thread, and the next failed call overwrites it.
std::string LoaderText() {
  const char* text = dlerror();
  return text != nullptr ? text : "no reason given";
}

void* Open(const std::string& soname) {
  void* library = dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    Fail(kErrLibraryMissing,
         "cannot load " + PrintablePath(soname) +
             ", which installs and updates need: " + Printable(LoaderText(), std::string::npos));
  }
  return library;
}

template <typename Function>
void Resolve(void* library, const std::string& soname, const char* name, Function* function) {
  void* address = dlsym(library, name);
  if (address == nullptr) {
    Fail(kErrLibraryMissing, PrintablePath(soname) + " has no function " + name);
  }
  *function = reinterpret_cast<Function>(address);
}

#define VEXODL_RESOLVE(name) Resolve(library, soname, #name, &api.name);

}  // namespace

CurlApi LoadCurl(const std::string& soname) {
  void* library = Open(soname);
  CurlApi api;
  VEXODL_CURL_FUNCTIONS(VEXODL_RESOLVE)
  // Thread-safe since curl 7.84 (Debian 12 has 7.88); never undone, as other users of curl in
  // the process may rely on it.
  static std::once_flag global_init;
  std::call_once(global_init, [&api] { api.curl_global_init(CURL_GLOBAL_DEFAULT); });
  return api;
}

ArchiveApi LoadArchive(const std::string& soname) {
  void* library = Open(soname);
  ArchiveApi api;
  VEXODL_ARCHIVE_FUNCTIONS(VEXODL_RESOLVE)
  return api;
}

#undef VEXODL_RESOLVE

const CurlApi& Curl() {
  static const CurlApi api = LoadCurl(VEXODL_CURL_SONAME);
  return api;
}

const ArchiveApi& Archive() {
  static const ArchiveApi api = LoadArchive(VEXODL_ARCHIVE_SONAME);
  return api;
}

}  // namespace vexodl::vexohost::internal
