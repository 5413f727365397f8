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
  struct Offer {
    std::string name;
    std::string version;
    std::string package;  // a package file in the tree
  };
  enum class Signing { kTrusted, kOtherKey, kNone };

  // Writes an archive of `entries` called `file` into the tree.
  std::string Package(const std::string& file, const std::vector<Entry>& entries) {
    WriteArchive(server_ / file, entries);
    return server_ / file;
  }

  // An index of format 1 whose "plugins" member is `plugins` (JSON text).
  static std::string IndexText(const std::string& plugins, std::uint64_t serial = 1,
                               const std::string& expires = kFarFuture) {
    return internal::IndexText(serial, expires, ParseJson(plugins));
  }

  // Writes index.json offering `offers`, and its signature as `signing` says.
  void Publish(const std::vector<Offer>& offers, Signing signing = Signing::kTrusted,
               std::uint64_t serial = 1, const std::string& expires = kFarFuture) {
    std::string plugins;
    for (const Offer& offer : offers) {
      plugins += (plugins.empty() ? "\"" : ", \"") + offer.name +
                 "\": " + IndexEntry(offer.package, offer.version);
    }
    WriteSignedIndex(IndexText("{" + plugins + "}", serial, expires), signing);
  }

  void WriteSignedIndex(const std::string& text, Signing signing = Signing::kTrusted) {
    WriteFile(server_ / "index.json", text);
    ::unlink((server_ / "index.json.sig").c_str());
    if (signing == Signing::kTrusted) WriteFile(server_ / "index.json.sig", key_.Sign(text));
    if (signing == Signing::kOtherKey) WriteFile(server_ / "index.json.sig", other_.Sign(text));
  }

  fake::TempDir server_;
  SigningKey key_;
  SigningKey other_;
  fake::ScopedEnv env_{{"VEXODL_VEXOHOST_UPDATE_KEY", key_.PublicHex()}};
};

}  // namespace vexodl::vexohost::test
