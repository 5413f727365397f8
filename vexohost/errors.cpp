#include "errors.h"

#include <cstdio>
#include <system_error>

#include "error/vexo_error.h"

namespace vexodl::vexohost::internal {

void Fail(ErrorCode code, const std::string& message) { throw VexoError(code, message.c_str()); }

void FailSystem(const std::string& operation, const std::string& path, int error) {
  Fail(kErrFileSystem, operation + " " + path + ": " + SystemText(error));
}

std::string SystemText(int error) { return std::generic_category().message(error); }

std::string Printable(const std::string& text) {
  constexpr std::size_t kMaxBytes = 80;
  std::string out;
  for (std::size_t i = 0; i < text.size() && i < kMaxBytes; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte > 0x7e || byte == '"' || byte == '\\') {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    } else {
      out += static_cast<char>(byte);
    }
  }
  if (text.size() > kMaxBytes) out += "...";
  return out;
}

}  // namespace vexodl::vexohost::internal
