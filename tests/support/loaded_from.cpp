#include "loaded_from.h"

#include <dlfcn.h>

namespace vexodl::fake {

std::string FileDefining(const char* symbol) {
  void* address = dlsym(RTLD_DEFAULT, symbol);
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) return "";
  return info.dli_fname;
}

}  // namespace vexodl::fake
