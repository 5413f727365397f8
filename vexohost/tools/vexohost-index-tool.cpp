// vexohost-index-tool: what the operator of an update server for libvexodlvexohost needs to
// publish plug-in packages (docs/vexohost.md, "Update server"):
//   vexohost-index-tool keygen SECRET_KEY_FILE     writes a new secret key (mode 0600) and prints
//                                                 the public key to build the service with
//   vexohost-index-tool entry PACKAGE VERSION      prints the index entry of a package
//   vexohost-index-tool sign SECRET_KEY_FILE INDEX writes INDEX.sig, the index's signature
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

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

int Entry(const std::string& package, const std::string& version) {
  std::string bytes;
  if (!ReadAll(package, &bytes)) {
    std::perror(package.c_str());
    return 1;
  }
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  const std::size_t slash = package.rfind('/');
  std::cout << "{\"version\": \"" << version << "\", \"package\": \""
            << package.substr(slash == std::string::npos ? 0 : slash + 1)
            << "\", \"size\": " << bytes.size() << ", \"sha256\": \"" << Hex(digest, sizeof digest)
            << "\"}\n";
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
  if (args.size() == 3 && args[0] == "sign") return Sign(args[1], args[2]);
  return Usage();
}
