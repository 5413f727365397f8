#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update_index.h"

// Plug-in packages written by the tests with libarchive, and update server trees written with the
// update index's own format (update_index.h).
namespace vexodl::vexohost::test {

// One entry of an archive as the tests write it, hostile ones included.
struct Entry {
  enum class Kind { kFile, kFolder, kSymlink, kHardlink, kFifo };
  Kind kind = Kind::kFile;
  std::string path;
  std::string data;  // a file's bytes, or a link's target
  unsigned mode = 0644;
};

Entry File(const std::string& path, const std::string& data, unsigned mode = 0644);
Entry Folder(const std::string& path);
Entry Symlink(const std::string& path, const std::string& target);
Entry Hardlink(const std::string& path, const std::string& target);
Entry Fifo(const std::string& path);

// `entries` followed by `more`.
std::vector<Entry> With(std::vector<Entry> entries, const std::vector<Entry>& more);

// The entries of a valid plug-in `name` at `version`: its manifest naming the verifier "verify",
// and that verifier (a shell script that answers 1).
std::vector<Entry> Plugin(const std::string& name, const std::string& version);

// Writes `entries` as an archive at `path`: zip for a name ending in .zip, gzip-compressed pax
// otherwise. Throws std::runtime_error with libarchive's reason.
void WriteArchive(const std::string& path, const std::vector<Entry>& entries);

// The bytes of a zip archive that libarchive's writer would not make: one stored file `path`
// whose header declares `declared` bytes whatever `data` holds, and no central directory.
std::string ZipEntryDeclaring(const std::string& path, std::uint32_t declared,
                              const std::string& data);

// Every file below `root` but the store lock's and the folder staging/ (not what it holds): "path
// mode kind [bytes|target]" per line, sorted, so that two listings differ when anything changed.
std::string Listing(const std::string& root);

// A new key pair, as the update server's operator holds it.
class SigningKey {
 public:
  SigningKey();
  std::string PublicHex() const;
  // What index.json.sig holds for the index `text`.
  std::string Sign(const std::string& text) const;

 private:
  internal::KeyPair keys_;
};

// The index entry of a package file: {"version", "package", "size", "sha256"} as JSON text.
std::string IndexEntry(const std::string& package_path, const std::string& version);

}  // namespace vexodl::vexohost::test
