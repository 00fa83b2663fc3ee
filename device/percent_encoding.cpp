#include "device/percent_encoding.h"

std::string percentEncode(std::string_view text, bool keepSlash) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size());
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    const bool unreserved = (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') ||
                            (b >= 'a' && b <= 'z') || c == '-' || c == '.' || c == '_' ||
                            c == '~' || (keepSlash && c == '/');
    if (unreserved) {
      encoded += c;
    } else {
      encoded += '%';
      encoded += kHex[b >> 4];
      encoded += kHex[b & 15];
    }
  }
  return encoded;
}
