#pragma once

#include <string>
#include <vector>

#include "update_index.h"

namespace vexodl::vexohost::internal {

// Adds a trusted key at run time, for tests and packagers (docs/vexohost.md).
constexpr char kUpdateKeyVariable[] = "VEXODL_VEXOHOST_UPDATE_KEY";

// The file of trusted keys that a packaged box keeps (the CMake setting
// VEXODL_VEXOHOST_UPDATE_KEYS_FILE): one key of 64 hex digits a line, '#' comments, blank lines.
extern const char kUpdateKeysFile[];

// The keys whose signatures this build accepts: the built-in ones, those of `keys_file` when it
// exists, and kUpdateKeyVariable's. Throws kErrUpdateKey when a key is not 64 hex digits, and
// when another user could have written `keys_file` or a folder above it (a key of theirs would
// let them sign any plug-in), naming the file and the fix.
std::vector<PublicKey> TrustedKeys(const std::string& keys_file = kUpdateKeysFile);

}  // namespace vexodl::vexohost::internal
