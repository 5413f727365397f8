#include "update_keys.h"

#include "errors.h"
#include "file.h"
#include "setting.h"
#include "trusted_path.h"

#ifndef VEXODL_VEXOHOST_UPDATE_KEYS
#define VEXODL_VEXOHOST_UPDATE_KEYS ""
#endif
#ifndef VEXODL_VEXOHOST_UPDATE_KEYS_FILE
#define VEXODL_VEXOHOST_UPDATE_KEYS_FILE "/etc/vexodl/update-keys"
#endif

namespace vexodl::vexohost::internal {

const char kUpdateKeysFile[] = VEXODL_VEXOHOST_UPDATE_KEYS_FILE;

namespace {

// The text of the keys file at `path`, "" when there is none. Refused unless nobody but root and
// our own user could have written it or any folder above it, as the state directory is.
[[noreturn]] void RefuseKeysFile(const std::string& path, const std::string& why) {
  Fail(kErrUpdateKey, "the update keys of " + PrintablePath(path) + " cannot be trusted: " + why);
}

std::string KeysFileText(const std::string& path) {
  const auto refuse = [&](const std::string& why) { RefuseKeysFile(path, why); };
  const common::PathTrust trust = common::CheckTrustedPath(path, path);
  if (trust.verdict == common::PathTrust::Verdict::kMissing) return "";
  if (trust.verdict == common::PathTrust::Verdict::kFailed) {
    refuse(PrintablePath(trust.where) + ": " + SystemText(trust.error));
  }
  if (!trust.trusted()) refuse(common::DescribeDistrust(trust, "", &PrintablePath));
  try {
    return ReadSmallFile(path, 64 * 1024);
  } catch (const FileReadError& error) {
    RefuseKeysFile(path, error.what());
  }
}

}  // namespace

std::vector<PublicKey> TrustedKeys(const std::string& keys_file) {
  std::vector<PublicKey> keys;
  const auto add = [&](const std::string& text, const std::string& where) {
    PublicKey key{};
    if (!FromHex(text, key.data(), key.size())) {
      Fail(kErrUpdateKey, "the update key of " + where + " is not 64 hex digits");
    }
    keys.push_back(key);
  };
  const std::string built_in = VEXODL_VEXOHOST_UPDATE_KEYS;
  std::size_t start = 0;
  while (start < built_in.size()) {
    std::size_t end = built_in.find_first_of(" ,;", start);
    if (end == std::string::npos) end = built_in.size();
    if (end > start) add(built_in.substr(start, end - start), "this build");
    start = end + 1;
  }
  const std::string text = KeysFileText(keys_file);
  std::size_t number = 0;
  for (std::size_t line_start = 0; line_start < text.size(); ++number) {
    std::size_t line_end = text.find('\n', line_start);
    if (line_end == std::string::npos) line_end = text.size();
    const std::string line = text.substr(line_start, line_end - line_start);
    const std::string key = line.substr(0, line.find('#'));
    if (key.find_first_not_of(" \t\r") != std::string::npos) {
      add(key, PrintablePath(keys_file) + ", line " + std::to_string(number + 1) + ",");
    }
    line_start = line_end + 1;
  }
  if (const auto configured = common::Setting(kUpdateKeyVariable)) {
    add(std::string(*configured), kUpdateKeyVariable);
  }
  return keys;
}

}  // namespace vexodl::vexohost::internal
