#pragma once

#include <cstddef>
#include <string_view>

namespace vexodl::common {

// Utf8SequenceLength is the length of the well-formed UTF-8 sequence that starts at text[i]: 1 for
// an ASCII byte, 2 to 4 for a character beyond, and 0 when none starts there (a stray
// continuation byte, a sequence cut short, an overlong form, a surrogate, a code point past
// U+10FFFF).
// REQUIRES: i < text.size().
inline std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned min_second = 0x80;
  unsigned max_second = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) min_second = 0xa0;  // overlong
    if (lead == 0xed) max_second = 0x9f;  // surrogates
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) min_second = 0x90;  // overlong
    if (lead == 0xf4) max_second = 0x8f;  // past U+10FFFF
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < min_second || byte(i + 1) > max_second) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xbf) return 0;
  }
  return length;
}

// Whether `text` is well-formed UTF-8 throughout.
inline bool IsUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = Utf8SequenceLength(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

}  // namespace vexodl::common
