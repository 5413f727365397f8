// The native store's manifest parser over any bytes: a manifest it accepts names its folder (or,
// read from a package, a valid host) and carries a version of the allowed characters and length;
// a refusal always says why.
#include <string>

#include "error/vexo_error.h"
#include "errors.h"
#include "fuzz_json.h"
#include "host_name.h"
#include "manifest.h"
#include "version.h"

using vexodl::fuzz::Check;
namespace store = vexodl::vexohost::internal;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    Check(store::IsValidHostName(store::ParseManifest(text, "").name),
          "a package's manifest names a valid host");
  } catch (const vexodl::VexoError& error) {
    vexodl::fuzz::CheckRefusal(error, {store::kErrBrokenManifest});
  }
  store::Manifest manifest;
  try {
    manifest = store::ParseManifest(text, "sample");
  } catch (const vexodl::VexoError&) {
    return 0;
  }
  Check(manifest.name == "sample", "an accepted manifest names its folder");
  Check(!manifest.version.empty() && manifest.version.size() <= store::kMaxVersionLength,
        "version length");
  Check(manifest.version.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                           "0123456789.+~_-") == std::string::npos,
        "version characters");
  Check(manifest.verifier.find('/') == std::string::npos, "verifier stays in the folder");
  return 0;
}
