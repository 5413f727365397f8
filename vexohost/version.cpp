#include "version.h"

namespace vexodl::vexohost::internal {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsVersionByte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || IsDigit(c) || c == '.' || c == '+' ||
         c == '~' || c == '_' || c == '-';
}

}  // namespace

bool IsValidVersion(const std::string& version) {
  if (version.empty() || version.size() > kMaxVersionLength) return false;
  for (const char c : version) {
    if (!IsVersionByte(c)) return false;
  }
  return true;
}

int CompareVersions(const std::string& a, const std::string& b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      // Numbers of any length: skip leading zeros, then the longer run is the larger number.
      while (i < a.size() && a[i] == '0') ++i;
      while (j < b.size() && b[j] == '0') ++j;
      std::size_t end_a = i;
      std::size_t end_b = j;
      while (end_a < a.size() && IsDigit(a[end_a])) ++end_a;
      while (end_b < b.size() && IsDigit(b[end_b])) ++end_b;
      if (end_a - i != end_b - j) return end_a - i < end_b - j ? -1 : 1;
      const int order = a.compare(i, end_a - i, b, j, end_b - j);
      if (order != 0) return order < 0 ? -1 : 1;
      i = end_a;
      j = end_b;
    } else {
      if (a[i] != b[j])
        return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]) ? -1 : 1;
      ++i;
      ++j;
    }
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

}  // namespace vexodl::vexohost::internal
