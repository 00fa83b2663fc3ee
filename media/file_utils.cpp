#include "media/file_utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
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

std::string readFileText(const std::string& path, bool base64) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) return {};
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return base64 ? base64Lines(bytes) : bytes;
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

bool writeFileAtomically(const std::string& path, const std::string& content) {
  fs::path target(path);
  std::string tmpl = (target.parent_path() / (std::string(kTempFilePrefix) + "XXXXXX")).string();
  int fd = mkstemp(tmpl.data());
  if (fd < 0) return false;
  bool ok = fchmod(fd, 0644) == 0;
  size_t written = 0;
  while (ok && written < content.size()) {
    ssize_t n = write(fd, content.data() + written, content.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    written += static_cast<size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  ok = ok && std::rename(tmpl.c_str(), path.c_str()) == 0;
  if (!ok) unlink(tmpl.c_str());
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
