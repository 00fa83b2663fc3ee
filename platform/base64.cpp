#include "platform/crypto.h"

// One encoder for every system: the displays want exactly this layout, and Windows' own
// CryptBinaryToStringW does not produce it everywhere (Wine leaves out the line breaks).
std::string base64Lines(std::string_view data) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string plain;
  plain.reserve((data.size() + 2) / 3 * 4);
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  size_t i = 0;
  for (; i + 2 < data.size(); i += 3) {
    unsigned v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    plain += kAlphabet[(v >> 18) & 63];
    plain += kAlphabet[(v >> 12) & 63];
    plain += kAlphabet[(v >> 6) & 63];
    plain += kAlphabet[v & 63];
  }
  if (i < data.size()) {
    unsigned v = bytes[i] << 16;
    if (i + 1 < data.size()) v |= bytes[i + 1] << 8;
    plain += kAlphabet[(v >> 18) & 63];
    plain += kAlphabet[(v >> 12) & 63];
    plain += (i + 1 < data.size()) ? kAlphabet[(v >> 6) & 63] : '=';
    plain += '=';
  }
  std::string lines;
  lines.reserve(plain.size() + plain.size() / 32 + 2);
  for (size_t pos = 0; pos < plain.size(); pos += 64) {
    lines.append(plain, pos, 64);
    lines += "\r\n";
  }
  return lines;
}
