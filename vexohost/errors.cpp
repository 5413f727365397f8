#include "errors.h"

#include <cstdio>
#include <system_error>

#include "error/vexo_error.h"

namespace vexodl::vexohost::internal {

void Fail(ErrorCode code, const std::string& message) { throw VexoError(code, message.c_str()); }

void FailSystem(const std::string& operation, const std::string& path, int error) {
  Fail(kErrFileSystem,
       Printable(operation + " " + path, std::string::npos) + ": " + SystemText(error));
}

std::string SystemText(int error) { return std::generic_category().message(error); }

std::string Printable(const std::string& text, std::size_t max_bytes) {
  std::string out;
  for (std::size_t i = 0; i < text.size() && i < max_bytes; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte > 0x7e || byte == '"' || byte == '\\') {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    } else {
      out += static_cast<char>(byte);
    }
  }
  if (text.size() > max_bytes) out += "...";
  return out;
}

}  // namespace vexodl::vexohost::internal
