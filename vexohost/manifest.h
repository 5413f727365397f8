#pragma once

#include <cstddef>
#include <string>

namespace vexodl::vexohost::internal {

// Every plug-in folder holds this file.
constexpr char kManifestFile[] = "manifest.json";
constexpr std::size_t kMaxManifestBytes = 64 * 1024;
// The manifest format this build reads; a manifest carries it as "format".
constexpr int kManifestFormat = 1;

// Manifest is what a plug-in says about itself (docs/vexohost.md).
struct Manifest {
  std::string name;            // equals the plug-in's folder name
  std::string description;     // free text for people
  std::string version;         // IsValidVersion (version.h)
  bool authentication = true;  // whether the host needs an account
  std::string verifier;        // a file name inside the plug-in folder, or empty for none
};

// Parses the text of the manifest found in folder `folder`. Throws kErrBrokenManifest, with the
// reason, when it is no valid manifest of format kManifestFormat, or names another folder. An
// empty `folder` stands for one whose name is not known yet (a package being installed): the
// manifest's name must then be a valid host name. Members this format does not know are ignored.
// Pure: touches no file.
Manifest ParseManifest(const std::string& text, const std::string& folder);

}  // namespace vexodl::vexohost::internal
