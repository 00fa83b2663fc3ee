#include "media/file_utils.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "platform/crypto.h"
#include "platform/file_system.h"

namespace fs = std::filesystem;

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

uint64_t fileSize(const std::string& path) {
  if (entryKind(path) != EntryKind::kFile || !isReadable(path)) return 0;
  std::error_code ec;
  const auto size = fs::file_size(pathFromUtf8(path), ec);
  return ec ? 0 : size;
}

bool isDirectory(const std::string& path) {
  return entryKind(path) == EntryKind::kFolder;
}

std::vector<std::string> listFiles(const std::string& folder) {
  std::vector<std::string> names = listFileNames(folder);
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<std::string> readRegularFile(const std::string& path) {
  const ReadOnlyFile file(path);
  if (!file.isRegular()) return std::nullopt;
  std::string content(static_cast<size_t>(file.size()), '\0');
  size_t got = 0;
  while (got < content.size()) {
    const int64_t n = file.readAt(got, content.data() + got, content.size() - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  content.resize(got);
  return content;
}

std::string readFileText(const std::string& path, bool base64) {
  auto bytes = readRegularFile(path);
  if (!bytes) return {};
  return base64 ? base64Lines(*bytes) : *bytes;
}

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

std::string md5Hex(const std::string& data) {
  return md5HexDigest(data);
}

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

bool writeFileAtomically(const std::string& path, const std::string& content) {
  return replaceFile(path, kTempFilePrefix, [&](const FileWriter& write) {
    return write(content.data(), content.size());
  });
}

bool copyFileAtomically(const std::string& source, const std::string& target) {
  ReadOnlyFile in(source);
  if (!in.isRegular()) return false;
  return replaceFile(target, kTempFilePrefix, [&](const FileWriter& write) {
    std::vector<char> buffer(1 << 16);
    for (uint64_t offset = 0;;) {
      const int64_t n = in.readAt(offset, buffer.data(), buffer.size());
      if (n < 0 || (n > 0 && !write(buffer.data(), static_cast<size_t>(n)))) return false;
      if (n == 0) break;
      offset += static_cast<uint64_t>(n);
    }
    // Closed before the rename: Windows does not replace a file that is still open, and a
    // file copied onto itself is that file.
    in.close();
    return true;
  });
}

void removeStaleTempFiles(const std::string& folder) {
  for (const auto& name : listFiles(folder)) {
    // Exactly the names the temporaries get, so no playlist the page saved is ever touched.
    bool ours =
        name.size() == std::strlen(kTempFilePrefix) + 6 && name.rfind(kTempFilePrefix, 0) == 0;
    if (ours) removeFile(folder + "/" + name);
  }
}
