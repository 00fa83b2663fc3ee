#include "media/atomic_files.h"

#include <cstring>
#include <vector>

#include "media/file_reading.h"
#include "platform/file_system.h"

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
