#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Plug-in packages and update server trees written by the tests, with libarchive and libsodium.
namespace vexodl::vexohost::test {

// One entry of an archive as the tests write it, hostile ones included.
struct Entry {
  enum class Kind { kFile, kFolder, kSymlink, kHardlink, kFifo, kCharDevice };
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
Entry CharDevice(const std::string& path);

// The entries of a valid plug-in `name` at `version`, under folder `prefix` ("" for the top):
// its manifest naming the verifier "verify", and that verifier (a shell script that answers
// `result`).
std::vector<Entry> Plugin(const std::string& name, const std::string& version,
                          const std::string& prefix = "", int result = 1);

// Writes `entries` as an archive at `path`: zip for a name ending in .zip, gzip-compressed pax
// otherwise. Throws std::runtime_error with libarchive's reason. With `raw_first`, the archive is
// an uncompressed pax tar (which the unpacker reads under a .tar.gz name too) that starts with
// those bytes.
void WriteArchive(const std::string& path, const std::vector<Entry>& entries,
                  const std::string& raw_first = "");

// The bytes of one tar entry that libarchive's writer would not make: `path`, of tar type `type`
// ('5' a folder, '2' a symbolic link...), whose pax header declares `declared` bytes of data
// whatever the type, followed by `data` (padded to whole blocks), which may be shorter.
std::string TarEntryDeclaring(const std::string& path, char type, std::uint64_t declared,
                              const std::string& data = "");

// Every file below `root` but the store lock's and the folder staging/ (not what it holds): "path
// mode kind [bytes|target]" per line, sorted, so that two listings differ when anything changed.
std::string Listing(const std::string& root);

// An Ed25519 key pair, as the update server's operator holds it.
class SigningKey {
 public:
  SigningKey();
  std::string PublicHex() const;
  // The hex signature of `text`, as index.json.sig holds it.
  std::string Sign(const std::string& text) const;

 private:
  std::array<unsigned char, 32> public_{};
  std::array<unsigned char, 64> secret_{};
};

// The hex SHA-256 of `bytes`.
std::string Sha256(const std::string& bytes);

// The index entry of a package file: {"version", "package", "size", "sha256"} as JSON text.
std::string IndexEntry(const std::string& package_path, const std::string& version);

}  // namespace vexodl::vexohost::test
