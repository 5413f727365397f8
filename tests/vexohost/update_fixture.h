#pragma once

#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "packages.h"
#include "scoped_env.h"
#include "state_dir_fixture.h"
#include "update_index.h"

namespace vexodl::vexohost::test {

// An index's expiry time that no test outlives.
constexpr char kFarFuture[] = "2999-12-31T23:59:59Z";

// UpdateServerTest gives a test a state directory and an update server tree of its own (a
// folder, served as file:// or over HTTP), with a signing key that the service trusts through
// VEXODL_VEXOHOST_UPDATE_KEY.
class UpdateServerTest : public StateDirTest {
 protected:
  enum class Signing { kTrusted, kOtherKey, kNone };

  // Writes an archive of `entries` called `file` into the tree.
  std::string Package(const std::string& file, const std::vector<Entry>& entries) {
    WriteArchive(server_ / file, entries);
    return server_ / file;
  }

  // Writes index.json offering `package` as "rapidbox" `version`, and its signature as `signing`
  // says.
  void Publish(const std::string& version, const std::string& package,
               Signing signing = Signing::kTrusted, std::uint64_t serial = 1,
               const std::string& expires = kFarFuture) {
    const std::string text = internal::IndexText(
        serial, expires, ParseJson(R"({"rapidbox": )" + IndexEntry(package, version) + "}"));
    WriteFile(server_ / "index.json", text);
    ::unlink((server_ / "index.json.sig").c_str());
    if (signing == Signing::kNone) return;
    WriteFile(server_ / "index.json.sig",
              (signing == Signing::kTrusted ? key_ : other_).Sign(text));
  }

  fake::TempDir server_;
  SigningKey key_;
  SigningKey other_;
  fake::ScopedEnv env_{{"VEXODL_VEXOHOST_UPDATE_KEY", key_.PublicHex()}};
};

}  // namespace vexodl::vexohost::test
