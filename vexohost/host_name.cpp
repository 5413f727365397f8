#include "host_name.h"

#include "errors.h"

namespace vexodl::vexohost::internal {

namespace {

bool IsNameByte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

// Why `name` is no host name, or nullptr when it is one.
const char* Fault(const std::string& name) {
  if (name.empty()) return "it is empty";
  if (name.size() > kMaxHostNameLength) return "it is longer than 64 bytes";
  if (name == "." || name == "..") return "it names a directory";
  for (const char c : name) {
    if (!IsNameByte(c)) return "only letters, digits, '.', '_' and '-' are allowed";
  }
  return nullptr;
}

}  // namespace

bool IsValidHostName(const std::string& name) { return Fault(name) == nullptr; }

void CheckHostName(const std::string& name) {
  if (const char* fault = Fault(name)) {
    Fail(kErrInvalidName, "invalid host name \"" + Printable(name) + "\": " + fault);
  }
}

bool IsArchiveName(const std::string& name) {
  for (const std::string end : {".tar.gz", ".tgz", ".zip"}) {
    if (name.size() >= end.size() && name.compare(name.size() - end.size(), end.size(), end) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace vexodl::vexohost::internal
