#include "packages.h"

#include <archive.h>
#include <archive_entry.h>
#include <sodium.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "state_dir_fixture.h"

namespace vexodl::vexohost::test {

namespace fs = std::filesystem;

Entry File(const std::string& path, const std::string& data, unsigned mode) {
  return {Entry::Kind::kFile, path, data, mode};
}
Entry Folder(const std::string& path) { return {Entry::Kind::kFolder, path, "", 0755}; }
Entry Symlink(const std::string& path, const std::string& target) {
  return {Entry::Kind::kSymlink, path, target, 0777};
}
Entry Hardlink(const std::string& path, const std::string& target) {
  return {Entry::Kind::kHardlink, path, target, 0644};
}
Entry Fifo(const std::string& path) { return {Entry::Kind::kFifo, path, "", 0644}; }
Entry CharDevice(const std::string& path) { return {Entry::Kind::kCharDevice, path, "", 0644}; }

std::vector<Entry> Plugin(const std::string& name, const std::string& version,
                          const std::string& prefix, int result) {
  const std::string manifest = R"({"format": 1, "name": ")" + name +
                               R"(", "description": "about )" + name + R"(", "version": ")" +
                               version + R"(", "authentication": "yes", "verifier": "verify"})";
  const std::string verifier =
      "#!/bin/sh\ncat >/dev/null\necho '{\"result\": " + std::to_string(result) +
      ", \"details\": {\"version\": \"" + version + "\"}}'\n";
  std::vector<Entry> entries;
  if (!prefix.empty()) entries.push_back(Folder(prefix));
  const std::string at = prefix.empty() ? "" : prefix + "/";
  entries.push_back(File(at + "manifest.json", manifest));
  entries.push_back(File(at + "verify", verifier, 0755));
  return entries;
}

void WriteArchive(const std::string& path, const std::vector<Entry>& entries,
                  const std::string& raw_first) {
  std::unique_ptr<archive, int (*)(archive*)> out(archive_write_new(), archive_write_free);
  const bool zip = path.size() > 4 && path.compare(path.size() - 4, 4, ".zip") == 0;
  if (zip) {
    archive_write_set_format_zip(out.get());
  } else {
    if (raw_first.empty()) archive_write_add_filter_gzip(out.get());
    archive_write_set_format_pax_restricted(out.get());
  }
  const auto check = [&](int status) {
    if (status < ARCHIVE_WARN) {
      throw std::runtime_error("writing " + path + ": " + archive_error_string(out.get()));
    }
  };
  check(archive_write_open_filename(out.get(), path.c_str()));
  for (const Entry& entry : entries) {
    std::unique_ptr<archive_entry, void (*)(archive_entry*)> header(archive_entry_new(),
                                                                    archive_entry_free);
    archive_entry_set_pathname(header.get(), entry.path.c_str());
    archive_entry_set_perm(header.get(), entry.mode);
    archive_entry_set_size(header.get(), 0);
    switch (entry.kind) {
      case Entry::Kind::kFile:
        archive_entry_set_filetype(header.get(), AE_IFREG);
        archive_entry_set_size(header.get(), static_cast<la_int64_t>(entry.data.size()));
        break;
      case Entry::Kind::kFolder:
        archive_entry_set_filetype(header.get(), AE_IFDIR);
        break;
      case Entry::Kind::kSymlink:
        archive_entry_set_filetype(header.get(), AE_IFLNK);
        archive_entry_set_symlink(header.get(), entry.data.c_str());
        break;
      case Entry::Kind::kHardlink:
        archive_entry_set_filetype(header.get(), AE_IFREG);
        archive_entry_set_hardlink(header.get(), entry.data.c_str());
        break;
      case Entry::Kind::kFifo:
        archive_entry_set_filetype(header.get(), AE_IFIFO);
        break;
      case Entry::Kind::kCharDevice:
        archive_entry_set_filetype(header.get(), AE_IFCHR);
        archive_entry_set_rdev(header.get(), makedev(1, 3));
        break;
    }
    check(archive_write_header(out.get(), header.get()));
    if (entry.kind == Entry::Kind::kFile && !entry.data.empty()) {
      if (archive_write_data(out.get(), entry.data.data(), entry.data.size()) < 0) {
        check(ARCHIVE_FATAL);
      }
    }
  }
  check(archive_write_close(out.get()));
  if (!raw_first.empty()) WriteFile(path, raw_first + ReadFile(path));
}

// One ustar header block, its checksum filled in.
static std::string TarHeader(const std::string& path, char type, std::uint64_t size) {
  std::string block(512, '\0');
  path.copy(&block[0], std::min<std::size_t>(path.size(), 99));
  std::snprintf(&block[100], 8, "%07o", 0755u);
  std::snprintf(&block[124], 12, "%011llo", static_cast<unsigned long long>(size));
  std::memset(&block[148], ' ', 8);
  block[156] = type;
  std::memcpy(&block[257],
              "ustar\0"
              "00",
              8);
  unsigned sum = 0;
  for (const char byte : block) sum += static_cast<unsigned char>(byte);
  std::snprintf(&block[148], 7, "%06o", sum);
  return block;
}

static std::string Padded(std::string bytes) {
  bytes.resize((bytes.size() + 511) / 512 * 512, '\0');
  return bytes;
}

std::string TarEntryDeclaring(const std::string& path, char type, std::uint64_t declared,
                              const std::string& data) {
  // A pax record starts with its own length in decimal, that number's digits included.
  const std::string record = " size=" + std::to_string(declared) + "\n";
  std::string length = std::to_string(record.size());
  while (length.size() + record.size() != std::stoul(length)) {
    length = std::to_string(length.size() + record.size());
  }
  const std::string pax = length + record;
  return TarHeader("PaxHeader", 'x', pax.size()) + Padded(pax) + TarHeader(path, type, declared) +
         Padded(data);
}

std::string Listing(const std::string& root) {
  std::vector<std::string> lines;
  if (!fs::exists(root)) return "<missing>";
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    const std::string relative = fs::relative(entry.path(), root).string();
    // The lock files and staging/ itself come with the first change; what staging/ holds counts.
    if (relative == "lock" || relative == "lock.gate" || relative == "staging") continue;
    struct stat st {};
    ::lstat(entry.path().c_str(), &st);
    std::string line = relative + " " + std::to_string(st.st_mode & 07777);
    if (S_ISLNK(st.st_mode)) {
      line += " link " + fs::read_symlink(entry.path()).string();
    } else if (S_ISDIR(st.st_mode)) {
      line += " folder";
    } else {
      line += " file " + ReadFile(entry.path().string());
    }
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

SigningKey::SigningKey() {
  if (sodium_init() < 0) throw std::runtime_error("sodium_init failed");
  crypto_sign_keypair(public_.data(), secret_.data());
}

static std::string Hex(const unsigned char* bytes, std::size_t size) {
  std::vector<char> hex(2 * size + 1);
  sodium_bin2hex(hex.data(), hex.size(), bytes, size);
  return hex.data();
}

std::string SigningKey::PublicHex() const { return Hex(public_.data(), public_.size()); }

std::string SigningKey::Sign(const std::string& text) const {
  unsigned char signature[crypto_sign_BYTES];
  crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(text.data()),
                       text.size(), secret_.data());
  return Hex(signature, sizeof signature) + "\n";
}

std::string Sha256(const std::string& bytes) {
  if (sodium_init() < 0) throw std::runtime_error("sodium_init failed");
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return Hex(digest, sizeof digest);
}

std::string IndexEntry(const std::string& package_path, const std::string& version) {
  const std::string bytes = ReadFile(package_path);
  return R"({"version": ")" + version + R"(", "package": ")" +
         fs::path(package_path).filename().string() + R"(", "size": )" +
         std::to_string(bytes.size()) + R"(, "sha256": ")" + Sha256(bytes) + "\"}";
}

}  // namespace vexodl::vexohost::test
