#include "installer.h"

#include <fcntl.h>
#include <stdio.h>  // renameat2
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <vector>

#include "errors.h"
#include "file.h"
#include "plugin_store.h"

namespace vexodl::vexohost::internal {

namespace {

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

[[noreturn]] void BadManifest(const std::string& why) {
  Fail(kErrPackageManifest, "package manifest: " + why);
}

// The plug-in folder inside the unpacked package `root`.
std::string PluginFolder(const std::string& root) {
  if (IsRegularFile(root + "/" + kManifestFile)) return root;
  const std::vector<std::string> names = ListDirectory(root);
  if (names.size() == 1 && IsFolder(root + "/" + names[0]) &&
      IsRegularFile(root + "/" + names[0] + "/" + kManifestFile)) {
    return root + "/" + names[0];
  }
  BadManifest(std::string("the package holds no ") + kManifestFile +
              " at its top or in its only folder");
}

// Reads and checks the manifest of `folder`, whose name is the one the manifest gives.
Manifest ReadManifest(const std::string& folder) {
  // The folder the package brought has no say: the manifest names the plug-in.
  Manifest manifest;
  try {
    manifest = ParseManifest(ReadSmallFile(folder + "/" + kManifestFile, kMaxManifestBytes), "");
  } catch (const VexoError& error) {
    BadManifest(error.what());
  }
  if (!manifest.verifier.empty()) {
    struct stat st {};
    const std::string verifier = folder + "/" + manifest.verifier;
    if (lstat(verifier.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      BadManifest("the verifier \"" + manifest.verifier +
                  "\" is not a regular file of the package");
    }
    // Unpacked files are 0755 or 0644 after the package's execute bit; without it every
    // verification would fail to start the verifier.
    if ((st.st_mode & S_IXUSR) == 0) {
      BadManifest("the verifier \"" + manifest.verifier +
                  "\" is not executable: the package gives it no execute permission");
    }
  }
  return manifest;
}

}  // namespace

Installer::Installed Installer::Install(const std::string& source, const std::string& expected_name,
                                        const std::string& expected_version) const {
  // The new plug-in's verifier will run with the password: nobody else may be able to put it there.
  state_.CheckTrusted(state_.user());
  const std::string unpacked = state_.staging() + "/unpacked";
  const std::string ready = state_.staging() + "/ready";
  UnpackPackage(source, unpacked, limits_);

  const std::string folder = PluginFolder(unpacked);
  Installed installed{ReadManifest(folder), ""};
  const Manifest& manifest = installed.manifest;
  if (!expected_name.empty() && manifest.name != expected_name) {
    Fail(kErrPackageMismatch,
         "the package holds host plug-in \"" + manifest.name + "\", not \"" + expected_name + "\"");
  }
  if (!expected_version.empty() && manifest.version != expected_version) {
    Fail(kErrPackageMismatch, "the package of \"" + manifest.name + "\" holds version " +
                                  manifest.version + ", not " + expected_version);
  }
  if (KindOf(state_.shipped() + "/" + manifest.name) != FileKind::kMissing) {
    Fail(kErrShippedHost, "host plug-in \"" + manifest.name +
                              "\" is shipped with the download manager and cannot be replaced");
  }
  // A name that differs from a shipped plug-in's only in case could pass for it, in a listing and
  // on a file system that ignores case. ASCII case, whatever the locale: host names are ASCII.
  const auto lower = [](std::string text) {
    for (char& c : text) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return text;
  };
  for (const std::string& shipped : ListDirectory(state_.shipped())) {
    if (lower(shipped) == lower(manifest.name)) {
      Fail(kErrShippedHost, "host plug-in \"" + manifest.name + "\" differs only in case from \"" +
                                Printable(shipped) +
                                "\", which is shipped with the download manager");
    }
  }
  Rename(folder, ready);
  // Every file and folder of the package on disk before it is switched into place: after a power
  // cut, user/ holds the old plug-in or the new one, whole, never one whose files are empty.
  SyncFileSystem(ready);
  CallTestHook(Stage::kChecked);

  MakeDirectory(state_.user());
  const std::string target = state_.user() + "/" + manifest.name;
  struct stat st {};
  if (lstat(target.c_str(), &st) == 0) {
    try {
      installed.replaced_version = PluginStore::Load(target, manifest.name).version;
    } catch (const VexoError&) {
      // A copy whose manifest cannot be read is replaced all the same, and names no version.
    }
    // The old copy lands in staging/ready and leaves with the caller's Staging.
    if (renameat2(AT_FDCWD, ready.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) != 0) {
      FailSystem("renameat2 RENAME_EXCHANGE", target, errno);
    }
  } else {
    Rename(ready, target);
  }
  SyncFolder(state_.user());
  CallTestHook(Stage::kSwitched);
  return installed;
}

}  // namespace vexodl::vexohost::internal
