#include "media/file_kinds.h"

#include <cstdint>

#include "media/file_reading.h"

namespace {

// Reads up to `count` bytes from the start of the file; fewer when it is shorter.
std::string readHead(const std::string& path, size_t count) {
  const ReadOnlyFile file(path);
  std::string head(count, '\0');
  const int64_t n = file.isRegular() ? file.readAt(0, head.data(), count) : -1;
  head.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return head;
}

uint32_t readLe32(const std::string& bytes, size_t offset) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[offset + i]);
  return v;
}

}  // namespace

bool isWavFile(const std::string& path) {
  if (fileSize(path) <= 36) return false;
  std::string head = readHead(path, 36);
  if (head.size() < 36) return false;
  return head.compare(0, 4, "RIFF") == 0 && head.compare(8, 7, "WAVEfmt") == 0 &&
         readLe32(head, 20) == 0x00010001u && readLe32(head, 24) == 16000u &&
         (readLe32(head, 32) >> 16) == 16u;
}

bool isPngFile(const std::string& path) {
  if (fileSize(path) <= 8) return false;
  static const std::string kSignature("\x89PNG\r\n\x1a\n", 8);
  return readHead(path, 8) == kSignature;
}
