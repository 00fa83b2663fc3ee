#include "media/file_reading.h"

#include <algorithm>
#include <system_error>

#include "platform/crypto.h"

namespace fs = std::filesystem;

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
