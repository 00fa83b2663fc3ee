#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/file_system.h"

std::filesystem::path pathFromUtf8(const std::string& path) {
  return std::filesystem::path(path);
}

std::string utf8FromPath(const std::filesystem::path& path) {
  return path.string();
}

ReadOnlyFile::ReadOnlyFile(const std::string& path, bool followFinalLink) {
  // A NUL would cut the path short and another file would be opened: such a path names none.
  if (path.find('\0') != std::string::npos) return;
  const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followFinalLink ? 0 : O_NOFOLLOW);
  const int fd = ::open(path.c_str(), flags);
  if (fd < 0) {
    forbidden_ = errno == EACCES;
    return;
  }
  handle_ = fd;
  path_ = path;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    regular_ = true;
    size_ = static_cast<uint64_t>(st.st_size);
    modified_ = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  }
}

void ReadOnlyFile::close() {
  if (handle_ != kClosed) ::close(static_cast<int>(handle_));
  handle_ = kClosed;
  regular_ = false;
}

int64_t ReadOnlyFile::readAt(uint64_t offset, char* out, size_t count) const {
  if (handle_ == kClosed) return -1;
  for (;;) {
    const ssize_t n = ::pread(static_cast<int>(handle_), out, count, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

std::string ReadOnlyFile::pathForLibraries() const {
  return regular_ ? "/proc/self/fd/" + std::to_string(handle_) : std::string();
}

bool replaceFile(const std::string& path, const std::string& tempPrefix,
                 const std::function<bool(const FileWriter&)>& fill) {
  const auto slash = path.rfind('/');
  std::string temp = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) +
                     tempPrefix + "XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) return false;
  const FileWriter write = [fd](const char* data, size_t size) {
    size_t written = 0;
    while (written < size) {
      const ssize_t n = ::write(fd, data + written, size - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      written += static_cast<size_t>(n);
    }
    return true;
  };
  bool ok = fchmod(fd, 0644) == 0 && fill(write) && fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && std::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) unlink(temp.c_str());
  return ok;
}

bool removeFile(const std::string& path) {
  return unlink(path.c_str()) == 0;
}

std::vector<std::string> listFileNames(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (entryKind(folder + "/" + name) == EntryKind::kFolder) continue;
    names.push_back(name);
  }
  closedir(dir);
  return names;
}

std::string canonicalPath(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return {};
  std::string result(real);
  std::free(real);
  return result;
}

EntryKind entryKind(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return EntryKind::kMissing;
  if (S_ISREG(st.st_mode)) return EntryKind::kFile;
  if (S_ISDIR(st.st_mode)) return EntryKind::kFolder;
  return EntryKind::kOther;
}

bool isReadable(const std::string& path) {
  return access(path.c_str(), R_OK) == 0;
}

bool isWritableFolder(const std::string& folder) {
  return access(folder.c_str(), W_OK | X_OK) == 0;
}
