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

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <json/value.h>
#include <json/writer.h>

namespace {

std::string Hex(const unsigned char* bytes, std::size_t size) {
  std::vector<char> hex(2 * size + 1);
  sodium_bin2hex(hex.data(), hex.size(), bytes, size);
  return hex.data();
}

bool ReadAll(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  *out = bytes.str();
  return static_cast<bool>(in) || in.eof();
}

// Writes `text` to a new file `path` with `mode`; refuses to overwrite one.
bool WriteNew(const std::string& path, const std::string& text, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return false;
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return close(fd) == 0 && ok;
}

int Usage() {
  std::cerr << "usage: vexohost-index-tool keygen SECRET_KEY_FILE\n"
               "       vexohost-index-tool entry PACKAGE VERSION\n"
               "       vexohost-index-tool index SERIAL DAYS NAME=PACKAGE:VERSION...\n"
               "       vexohost-index-tool sign SECRET_KEY_FILE INDEX\n";
  return 2;
}

int Keygen(const std::string& secret_path) {
  unsigned char public_key[crypto_sign_PUBLICKEYBYTES];
  unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
  crypto_sign_keypair(public_key, secret_key);
  const std::string secret = Hex(secret_key, sizeof secret_key) + "\n";
  sodium_memzero(secret_key, sizeof secret_key);
  if (!WriteNew(secret_path, secret, 0600)) {
    std::perror(secret_path.c_str());
    return 1;
  }
  std::cout << Hex(public_key, sizeof public_key) << "\n";
  return 0;
}

void Print(const Json::Value& value, const char* indentation) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = indentation;
  std::cout << Json::writeString(builder, value) << "\n";
}

// The index entry that offers the package file `package` as `version`; false, having said why,
// when the file cannot be read.
bool EntryOf(const std::string& package, const std::string& version, Json::Value* entry) {
  std::string bytes;
  if (!ReadAll(package, &bytes)) {
    std::perror(package.c_str());
    return false;
  }
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  const std::size_t slash = package.rfind('/');
  (*entry)["version"] = version;
  (*entry)["package"] = package.substr(slash == std::string::npos ? 0 : slash + 1);
  (*entry)["size"] = Json::UInt64{bytes.size()};
  (*entry)["sha256"] = Hex(digest, sizeof digest);
  return true;
}

int Entry(const std::string& package, const std::string& version) {
  Json::Value entry;
  if (!EntryOf(package, version, &entry)) return 1;
  Print(entry, "");
  return 0;
}

// Reads a whole number of decimal digits, nothing else.
bool ParseCount(const std::string& text, std::uint64_t* out) {
  const char* end = text.data() + text.size();
  return !text.empty() && std::from_chars(text.data(), end, *out).ptr == end;
}

// `arguments`: SERIAL DAYS NAME=PACKAGE:VERSION... (a version holds no ':').
int Index(const std::vector<std::string>& arguments) {
  std::uint64_t serial = 0;
  std::uint64_t days = 0;
  const std::time_t now = std::time(nullptr);
  if (!ParseCount(arguments[0], &serial) || !ParseCount(arguments[1], &days) ||
      days > static_cast<std::uint64_t>(std::numeric_limits<std::time_t>::max() - now) / 86400) {
    return Usage();
  }
  Json::Value index;
  index["format"] = 1;
  index["serial"] = Json::UInt64{serial};
  const std::time_t expires = now + static_cast<std::time_t>(days) * 86400;
  std::tm utc{};
  char text[sizeof "YYYY-MM-DDTHH:MM:SSZ"];
  if (gmtime_r(&expires, &utc) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) != sizeof text - 1) {
    std::cerr << "cannot write the time " << days << " days from now\n";
    return 1;
  }
  index["expires"] = text;
  Json::Value& plugins = index["plugins"] = Json::Value(Json::objectValue);
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
  Print(index, "  ");
  return 0;
}

int Sign(const std::string& secret_path, const std::string& index_path) {
  std::string hex;
  std::string index;
  if (!ReadAll(secret_path, &hex) || !ReadAll(index_path, &index)) {
    std::cerr << "cannot read " << secret_path << " or " << index_path << "\n";
    return 1;
  }
  while (!hex.empty() && (hex.back() == '\n' || hex.back() == ' ')) hex.pop_back();
  unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
  std::size_t length = 0;
  if (sodium_hex2bin(secret_key, sizeof secret_key, hex.data(), hex.size(), nullptr, &length,
                     nullptr) != 0 ||
      length != sizeof secret_key) {
    std::cerr << secret_path << " holds no secret key\n";
    return 1;
  }
  unsigned char signature[crypto_sign_BYTES];
  crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(index.data()),
                       index.size(), secret_key);
  sodium_memzero(secret_key, sizeof secret_key);
  const std::string signature_path = index_path + ".sig";
  std::remove(signature_path.c_str());
  if (!WriteNew(signature_path, Hex(signature, sizeof signature) + "\n", 0644)) {
    std::perror(signature_path.c_str());
    return 1;
  }
  return 0;
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
