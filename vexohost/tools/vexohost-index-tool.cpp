// vexohost-index-tool: what the operator of an update server for libvexodlvexohost needs to
// publish plug-in packages (docs/vexohost.md, "Update server"):
//   vexohost-index-tool keygen SECRET_KEY_FILE     writes a new secret key (mode 0600) and prints
//                                                 the public key to build the service with
//   vexohost-index-tool entry PACKAGE VERSION      prints the index entry of a package
//   vexohost-index-tool index SERIAL DAYS NAME=PACKAGE:VERSION...
//                                                 prints a whole index: serial SERIAL, expiring
//                                                 DAYS days from now, one entry per plug-in
//   vexohost-index-tool sign SECRET_KEY_FILE INDEX writes INDEX.sig, the index's signature
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include <json/value.h>
#include <json/writer.h>

#include "error/vexo_error.h"
#include "errors.h"
#include "file.h"
#include "update_index.h"
#include "utc_time.h"

namespace {

namespace internal = vexodl::vexohost::internal;

bool ReadAll(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  *out = bytes.str();
  return static_cast<bool>(in) || in.eof();
}

// Writes `text` to a new file `path` with `mode`, refusing to overwrite one; false, having said
// why, when it cannot.
bool WriteNew(const std::string& path, const std::string& text, mode_t mode) {
  internal::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  try {
    if (!fd.valid()) internal::FailSystem("open", path, errno);
    internal::WriteAll(fd.get(), text, path);
    if (::close(fd.Release()) != 0) internal::FailSystem("close", path, errno);
  } catch (const vexodl::VexoError& error) {
    std::cerr << error.what() << "\n";
    return false;
  }
  return true;
}

int Usage() {
  std::cerr << "usage: vexohost-index-tool keygen SECRET_KEY_FILE\n"
               "       vexohost-index-tool entry PACKAGE VERSION\n"
               "       vexohost-index-tool index SERIAL DAYS NAME=PACKAGE:VERSION...\n"
               "       vexohost-index-tool sign SECRET_KEY_FILE INDEX\n";
  return 2;
}

int Keygen(const std::string& secret_path) {
  internal::KeyPair keys = internal::NewKeyPair();
  const std::string secret = internal::ToHex(keys.secret_key.data(), keys.secret_key.size()) + "\n";
  sodium_memzero(keys.secret_key.data(), keys.secret_key.size());
  if (!WriteNew(secret_path, secret, 0600)) return 1;
  std::cout << internal::ToHex(keys.public_key.data(), keys.public_key.size()) << "\n";
  return 0;
}

// The index entry of the package file `package` as `version`; false, having said why, when the
// file cannot be read.
bool EntryOf(const std::string& package, const std::string& version, Json::Value* entry) {
  std::string bytes;
  if (!ReadAll(package, &bytes)) {
    std::perror(package.c_str());
    return false;
  }
  *entry = internal::EntryJson(internal::EntryOf(package, bytes, version));
  return true;
}

int Entry(const std::string& package, const std::string& version) {
  Json::Value entry;
  if (!EntryOf(package, version, &entry)) return 1;
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  std::cout << Json::writeString(writer, entry) << "\n";
  return 0;
}

// Reads a whole number of decimal digits, nothing else.
bool ParseCount(const std::string& text, std::uint64_t* out) {
  const char* end = text.data() + text.size();
  const std::from_chars_result read = std::from_chars(text.data(), end, *out);
  return !text.empty() && read.ptr == end && read.ec == std::errc();
}

// `arguments`: SERIAL DAYS NAME=PACKAGE:VERSION... (a version holds no ':').
int Index(const std::vector<std::string>& arguments) {
  std::uint64_t serial = 0;
  std::uint64_t days = 0;
  const std::int64_t now = std::time(nullptr);
  if (!ParseCount(arguments[0], &serial) || !ParseCount(arguments[1], &days) ||
      days > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max() - now) / 86400) {
    return Usage();
  }
  const std::optional<std::string> expires =
      internal::FormatUtcTime(now + static_cast<std::int64_t>(days) * 86400);
  if (!expires) {
    std::cerr << "cannot write the time " << days << " days from now\n";
    return 1;
  }
  Json::Value plugins(Json::objectValue);
  for (auto offer = arguments.begin() + 2; offer != arguments.end(); ++offer) {
    const std::size_t equals = offer->find('=');
    const std::size_t colon = offer->rfind(':');
    if (equals == 0 || equals == std::string::npos || colon == std::string::npos ||
        colon <= equals + 1 || colon + 1 == offer->size()) {
      return Usage();
    }
    const std::string name = offer->substr(0, equals);
    if (plugins.isMember(name)) {
      std::cerr << "plug-in " << name << " is offered twice\n";
      return 1;
    }
    if (!EntryOf(offer->substr(equals + 1, colon - equals - 1), offer->substr(colon + 1),
                 &plugins[name])) {
      return 1;
    }
  }
  std::cout << internal::IndexText(serial, *expires, plugins);
  return 0;
}

int Sign(const std::string& secret_path, const std::string& index_path) {
  std::string hex;
  std::string text;
  if (!ReadAll(secret_path, &hex) || !ReadAll(index_path, &text)) {
    std::cerr << "cannot read " << secret_path << " or " << index_path << "\n";
    return 1;
  }
  internal::SecretKey secret_key{};
  if (!internal::FromHex(hex, secret_key.data(), secret_key.size())) {
    std::cerr << secret_path << " holds no secret key\n";
    return 1;
  }
  const std::string signature = internal::SignatureText(text, secret_key);
  sodium_memzero(secret_key.data(), secret_key.size());
  const std::string signature_path = index_path + ".sig";
  std::remove(signature_path.c_str());
  return WriteNew(signature_path, signature, 0644) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (sodium_init() < 0) {
    std::cerr << "libsodium could not be initialised\n";
    return 1;
  }
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "keygen") return Keygen(args[1]);
  if (args.size() == 3 && args[0] == "entry") return Entry(args[1], args[2]);
  if (args.size() >= 3 && args[0] == "index") return Index({args.begin() + 1, args.end()});
  if (args.size() == 3 && args[0] == "sign") return Sign(args[1], args[2]);
  return Usage();
}
