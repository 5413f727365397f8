#include "packages.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "state_dir_fixture.h"
#include "update_index.h"

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

std::vector<Entry> With(std::vector<Entry> entries, const std::vector<Entry>& more) {
  entries.insert(entries.end(), more.begin(), more.end());
  return entries;
}

std::vector<Entry> Plugin(const std::string& name, const std::string& version) {
  std::string manifest = ManifestText(name, version);
  manifest.insert(manifest.size() - 1, R"(, "verifier": "verify")");
  return {File("manifest.json", manifest),
          File("verify", "#!/bin/sh\ncat >/dev/null\necho '{\"result\": 1}'\n", 0755)};
}

void WriteArchive(const std::string& path, const std::vector<Entry>& entries) {
  std::unique_ptr<archive, int (*)(archive*)> out(archive_write_new(), archive_write_free);
  const bool zip = path.size() > 4 && path.compare(path.size() - 4, 4, ".zip") == 0;
  if (zip) {
    archive_write_set_format_zip(out.get());
  } else {
    archive_write_add_filter_gzip(out.get());
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
    }
    check(archive_write_header(out.get(), header.get()));
    if (entry.kind == Entry::Kind::kFile && !entry.data.empty()) {
      if (archive_write_data(out.get(), entry.data.data(), entry.data.size()) < 0) {
        check(ARCHIVE_FATAL);
      }
    }
  }
  check(archive_write_close(out.get()));
}

std::string ZipEntryDeclaring(const std::string& path, std::uint32_t declared,
                              const std::string& data) {
  // A local file header: its signature, version 20, no flags, stored, no time, no CRC.
  std::string bytes("PK\3\4\x14\0\0\0\0\0\0\0\0\0\0\0\0\0", 18);
  const auto put = [&](std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) bytes += static_cast<char>(value >> (8 * i));
  };
  put(static_cast<std::uint32_t>(data.size()), 4);  // the bytes stored
  put(declared, 4);                                 // the bytes it unpacks to
  put(static_cast<std::uint32_t>(path.size()), 2);
  put(0, 2);
  return bytes + path + data;
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

SigningKey::SigningKey() : keys_(internal::NewKeyPair()) {}

std::string SigningKey::PublicHex() const {
  return internal::ToHex(keys_.public_key.data(), keys_.public_key.size());
}

std::string SigningKey::Sign(const std::string& text) const {
  return internal::SignatureText(text, keys_.secret_key);
}

std::string IndexEntry(const std::string& package_path, const std::string& version) {
  return Text(
      internal::EntryJson(internal::EntryOf(package_path, ReadFile(package_path), version)));
}

}  // namespace vexodl::vexohost::test
