#include "media/names.h"

#include <cstdint>

size_t utf8SequenceLength(const std::string& text, size_t at) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char c = s[at];
  size_t len = c < 0x80             ? 1
               : (c & 0xE0) == 0xC0 ? 2
               : (c & 0xF0) == 0xE0 ? 3
               : (c & 0xF8) == 0xF0 ? 4
                                    : 0;
  if (len == 0 || at + len > text.size()) return 0;
  uint32_t cp = len == 1 ? c : c & (0x7F >> len);
  for (size_t k = 1; k < len; ++k) {
    if ((s[at + k] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (s[at + k] & 0x3F);
  }
  static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

bool isSafeFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

bool isPlainName(const std::string& name) {
  bool blank = true;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f) return false;
    if (c != ' ') blank = false;
  }
  return !blank;
}
