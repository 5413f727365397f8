#include "state_dir.h"

#include <cstdlib>

#include "errors.h"
#include "file.h"

#ifndef VEXODL_VEXOHOST_DEFAULT_STATE_DIR
#define VEXODL_VEXOHOST_DEFAULT_STATE_DIR "/var/lib/vexodl/filehosts"
#endif

namespace vexodl::vexohost::internal {

StateDir StateDir::FromEnvironment() {
  const char* value = std::getenv(kStateDirVariable);
  if (value == nullptr || *value == '\0') return StateDir(VEXODL_VEXOHOST_DEFAULT_STATE_DIR);
  if (*value != '/') {
    Fail(kErrStateDir, std::string(kStateDirVariable) + " must be an absolute path, not \"" +
                           Printable(value) + "\"");
  }
  return StateDir(value);
}

void StateDir::Check() const {
  switch (KindOf(root_)) {
    case FileKind::kDirectory:
      return;
    case FileKind::kMissing:
      Fail(kErrStateDir, "state directory " + root_ + " does not exist");
    case FileKind::kOther:
      Fail(kErrStateDir, "state directory " + root_ + " is not a directory");
  }
}

}  // namespace vexodl::vexohost::internal
