#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// File operations whose system calls differ. Paths are UTF-8 and may use '/' on every system;
// on Windows absolute paths get the long-path prefix where the system wants it.

// The std::filesystem spelling of a UTF-8 path: on Windows the narrow constructor would read it
// in the ANSI code page.
std::filesystem::path pathFromUtf8(const std::string& path);
std::string utf8FromPath(const std::filesystem::path& path);

// A file opened for reading. Opening never blocks (a FIFO does not wait for a writer), and
// the handle is not inherited by child processes.
class ReadOnlyFile {
 public:
  ReadOnlyFile() = default;
  // With `followFinalLink` false a path whose last component is a symbolic link is refused.
  explicit ReadOnlyFile(const std::string& path, bool followFinalLink = true);
  ReadOnlyFile(ReadOnlyFile&& other) noexcept;
  ReadOnlyFile& operator=(ReadOnlyFile&& other) noexcept;
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
  ~ReadOnlyFile();

  bool isOpen() const { return handle_ != kClosed; }
  // Open, and a regular file (not a folder, FIFO or device).
  bool isRegular() const { return regular_; }
  // Opening failed for lack of permission (as against a missing file).
  bool forbidden() const { return forbidden_; }
  // Size and modification time when it was opened.
  uint64_t size() const { return size_; }
  int64_t modifiedNanoseconds() const { return modified_; }

  // Up to `count` bytes from `offset`: the count read, 0 at the end, -1 on an error.
  int64_t readAt(uint64_t offset, char* out, size_t count) const;
  // A name through which another library opens this very file: /proc/self/fd/N on Linux (a
  // name that is not UTF-8 has no wide spelling to hand over), the path itself on Windows.
  std::string pathForLibraries() const;
  // The descriptor (POSIX) or HANDLE (Windows) for the system's own file transfer.
  std::intptr_t nativeHandle() const { return handle_; }
  void close();

 private:
  static constexpr std::intptr_t kClosed = -1;
  std::intptr_t handle_ = kClosed;
  std::string path_;
  uint64_t size_ = 0;
  int64_t modified_ = 0;
  bool regular_ = false;
  bool forbidden_ = false;
};

// Receives the content of a new file in pieces; false stops the write.
using FileWriter = std::function<bool(const char* data, size_t size)>;

// Creates a temporary named `tempPrefix` + 6 characters beside `path`, lets `fill` write it,
// flushes it to disk and renames it over `path`, so readers see the old or the new content and
// never a torn file. The temporary goes whatever fails.
bool replaceFile(const std::string& path, const std::string& tempPrefix,
                 const std::function<bool(const FileWriter&)>& fill);

bool removeFile(const std::string& path);

// Names of the entries directly in `folder` that are not folders, in no particular order.
std::vector<std::string> listFileNames(const std::string& folder);

// The absolute path with every link resolved, '/'-separated; empty when it does not exist.
std::string canonicalPath(const std::string& path);

enum class EntryKind { kMissing, kFile, kFolder, kOther };
// What the path names, links followed.
EntryKind entryKind(const std::string& path);

// The calling process may read the file.
bool isReadable(const std::string& path);
// The calling process may make files in the folder.
bool isWritableFolder(const std::string& folder);
