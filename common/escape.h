#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "utf8.h"

namespace vexodl::common {

enum class Notation {
  kLine,    // a log line or a terminal line
  kQuoted,  // text that goes between double quotes in such a line
  kJson,    // JsonCpp's output, which escapes C0 controls, quotes and backslashes itself
};

// The one escaper of everything that a log line, a message or the tool shows: names, paths,
// descriptions and causes come from plug-ins, from pyLoad and from users, so none is shown raw.
// Well-formed UTF-8 stays as it is, so that a name reads as it was written; control characters
// (C0, DEL and C1, which some terminals act on as on ESC) become the escapes that JSON writes for
// them (\n, \t, \u001b, \u007f, \u009b), so that a name reads the same in a line as in JSON; a byte
// that is not UTF-8 becomes \xNN (\ufffd in JSON, which has no escape for it). Between quotes, `"`
// and `\` are escaped too, so that the quotes hold; elsewhere a backslash stays as it is, so that
// text that was escaped once (a back-end's message) is not escaped again. At most `max_bytes` of
// `text` are shown, then "...".
inline std::string Escape(std::string_view text, Notation notation = Notation::kLine,
                          std::size_t max_bytes = std::string_view::npos) {
  const auto hex = [](const char* format, unsigned value) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, format, value);
    return std::string(buffer);
  };
  const bool cut = text.size() > max_bytes;
  if (cut) text = text.substr(0, max_bytes);
  const bool json = notation == Notation::kJson;
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const std::size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {
      out += json ? "\\ufffd" : hex("\\x%02x", c);
    } else if (length == 2 && c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0) {
      out += hex("\\u%04x", static_cast<unsigned char>(text[i + 1]));
    } else if (c == 0x7f || (c < 0x20 && !json)) {
      static constexpr std::string_view kShort = "\b\f\n\r\t";
      const std::size_t at = kShort.find(static_cast<char>(c));
      out += at == std::string_view::npos ? hex("\\u%04x", c) : std::string("\\") + "bfnrt"[at];
    } else if (notation == Notation::kQuoted && (c == '"' || c == '\\')) {
      out += '\\';
      out += static_cast<char>(c);
    } else {
      out.append(text, i, length);
    }
    i += length == 0 ? 1 : length;
  }
  if (cut) out += "...";
  return out;
}

}  // namespace vexodl::common
