#include "media/file_utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <system_error>

#include "platform/crypto.h"

namespace fs = std::filesystem;

namespace {

constexpr wchar_t kReplacement = 0xFFFD;

void appendUtf8(std::string& out, uint32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Reads up to `count` bytes from the start of the file; fewer when it is shorter.
std::string readHead(const std::string& path, size_t count) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string head(count, '\0');
  in.read(head.data(), static_cast<std::streamsize>(count));
  head.resize(static_cast<size_t>(in.gcount()));
  return head;
}

uint32_t readLe32(const std::string& bytes, size_t offset) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[offset + i]);
  return v;
}

}  // namespace

std::wstring utf8ToWide(const std::string& text) {
  std::wstring out;
  out.reserve(text.size());
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  for (size_t i = 0; i < n;) {
    unsigned char c = s[i];
    uint32_t cp;
    size_t len;
    if (c < 0x80) {
      cp = c, len = 1;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F, len = 2;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F, len = 3;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07, len = 4;
    } else {
      out += kReplacement;
      ++i;
      continue;
    }
    size_t k = 1;
    for (; k < len && i + k < n && (s[i + k] & 0xC0) == 0x80; ++k)
      cp = (cp << 6) | (s[i + k] & 0x3F);
    static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (k < len || cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out += kReplacement;
      i += k;
      continue;
    }
    out += static_cast<wchar_t>(cp);
    i += len;
  }
  return out;
}

std::string wideToUtf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t wc : text) appendUtf8(out, static_cast<uint32_t>(wc));
  return out;
}

uint64_t fileSize(const std::string& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return 0;
  auto size = fs::file_size(path, ec);
  if (ec) return 0;
  if (access(path.c_str(), R_OK) != 0) return 0;
  return size;
}

bool isDirectory(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

std::vector<std::string> listFiles(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  fs::directory_iterator it(folder, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    std::error_code typeEc;
    if (it->is_directory(typeEc)) continue;
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<std::string> readRegularFile(const std::string& path) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer; fstat then turns it away.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::optional<std::string> bytes;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    std::string content(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < content.size()) {
      ssize_t n = read(fd, content.data() + got, content.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    content.resize(got);
    bytes = std::move(content);
  }
  close(fd);
  return bytes;
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

namespace {

// Fills a temporary beside `path`, flushes it and renames it over `path`; the temporary goes
// whatever fails.
bool replaceAtomically(const std::string& path, const std::function<bool(int fd)>& fill) {
  fs::path target(path);
  std::string tmpl = (target.parent_path() / (std::string(kTempFilePrefix) + "XXXXXX")).string();
  int fd = mkstemp(tmpl.data());
  if (fd < 0) return false;
  bool ok = fchmod(fd, 0644) == 0 && fill(fd) && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  ok = ok && std::rename(tmpl.c_str(), path.c_str()) == 0;
  if (!ok) unlink(tmpl.c_str());
  return ok;
}

bool writeAll(int fd, const char* data, size_t size) {
  size_t written = 0;
  while (written < size) {
    ssize_t n = write(fd, data + written, size - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool writeFileAtomically(const std::string& path, const std::string& content) {
  return replaceAtomically(path,
                           [&](int fd) { return writeAll(fd, content.data(), content.size()); });
}

bool copyFileAtomically(const std::string& source, const std::string& target) {
  int in = open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st {};
  bool ok = fstat(in, &st) == 0 && S_ISREG(st.st_mode) && replaceAtomically(target, [in](int out) {
              std::vector<char> buffer(1 << 16);
              for (;;) {
                ssize_t n = read(in, buffer.data(), buffer.size());
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return n == 0;
                if (!writeAll(out, buffer.data(), static_cast<size_t>(n))) return false;
              }
            });
  close(in);
  return ok;
}

void removeStaleTempFiles(const std::string& folder) {
  for (const auto& name : listFiles(folder)) {
    // Exactly the names mkstemp made, so no playlist the page saved is ever touched.
    bool ours =
        name.size() == std::strlen(kTempFilePrefix) + 6 && name.rfind(kTempFilePrefix, 0) == 0;
    if (ours) removeFile(folder + "/" + name);
  }
}

bool removeFile(const std::string& path) {
  return unlink(path.c_str()) == 0;
}
