#include "state_dir.h"

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "errors.h"
#include "file.h"
#include "setting.h"
#include "trusted_path.h"

#ifndef VEXODL_VEXOHOST_DEFAULT_STATE_DIR
#define VEXODL_VEXOHOST_DEFAULT_STATE_DIR "/var/lib/vexodl/filehosts"
#endif

namespace vexodl::vexohost::internal {

StateDir StateDir::FromEnvironment() {
  const std::string configured(
      common::Setting(kStateDirVariable).value_or(VEXODL_VEXOHOST_DEFAULT_STATE_DIR));
  if (configured[0] != '/') {
    Fail(kErrStateDir, std::string(kStateDirVariable) + " must be an absolute path, not \"" +
                           Printable(configured) + "\"");
  }
  const std::unique_ptr<char, decltype(&std::free)> real(::realpath(configured.c_str(), nullptr),
                                                         &std::free);
  if (!real) {
    if (errno == ENOENT || errno == ENOTDIR) {
      Fail(kErrStateDir, "state directory " + PrintablePath(configured) + " does not exist");
    }
    FailSystem("resolve", configured, errno);
  }
  if (KindOf(real.get()) != FileKind::kDirectory) {
    Fail(kErrStateDir, "state directory " + PrintablePath(configured) + " is not a directory");
  }
  return StateDir(real.get());
}

void StateDir::CheckSafe() const {
  if (!CheckTrusted(root_)) FailSystem("stat", root_, ENOENT);
}

bool StateDir::CheckTrusted(const std::string& path) const {
  const common::PathTrust trust = common::CheckTrustedPath(path, root_);
  switch (trust.verdict) {
    case common::PathTrust::Verdict::kTrusted:
      return true;
    case common::PathTrust::Verdict::kMissing:
      return false;
    case common::PathTrust::Verdict::kFailed:
      FailSystem("stat", trust.where, trust.error);
    case common::PathTrust::Verdict::kOwner:
    case common::PathTrust::Verdict::kWritable:
      break;
  }
  Fail(kErrStateDirUnsafe,
       common::DescribeDistrust(trust, trust.where == root_ ? "state directory" : "",
                                &PrintablePath));
}

}  // namespace vexodl::vexohost::internal
