#include <windows.h>

#include <algorithm>
#include <random>

#include "platform/file_system.h"
#include "platform/text_conversion.h"

namespace {

constexpr int64_t kUnixEpochIn100ns = 116444736000000000;

// The wide spelling for the file functions: back-slashed, absolute, and with the long-path
// prefix ("\\?\", "\\?\UNC\") so that paths past MAX_PATH work. The prefix turns off the
// system's own clean-up of "." and "..", so the full path is taken first.
// A path holding a NUL names no file (the system would cut it short): it becomes empty.
std::wstring longPath(const std::string& path) {
  if (path.find('\0') != std::string::npos) return {};
  std::wstring wide = utf8ToWide(path);
  for (auto& c : wide) {
    if (c == L'/') c = L'\\';
  }
  if (wide.empty() || wide.rfind(L"\\\\?\\", 0) == 0) return wide;
  const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return wide;
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return wide;
  full.resize(length);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// The path as the rest of the program spells paths: no prefix, forward slashes.
std::string plainPath(std::wstring wide) {
  if (wide.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    wide = L"\\\\" + wide.substr(8);
  } else if (wide.rfind(L"\\\\?\\", 0) == 0) {
    wide = wide.substr(4);
  }
  for (auto& c : wide) {
    if (c == L'\\') c = L'/';
  }
  return wideToUtf8(wide);
}

HANDLE handleOf(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

std::filesystem::path pathFromUtf8(const std::string& path) {
  return std::filesystem::path(utf8ToWide(path));
}

std::string utf8FromPath(const std::filesystem::path& path) {
  return wideToUtf8(path.wstring());
}

ReadOnlyFile::ReadOnlyFile(const std::string& path, bool followFinalLink) {
  if (path.empty()) return;
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | (followFinalLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  // Others may go on reading, writing, renaming and deleting: an atomic replacement of the file
  // must not fail because a display is downloading it.
  HANDLE file = CreateFileW(longPath(path).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    forbidden_ = GetLastError() == ERROR_ACCESS_DENIED;
    return;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info) ||
      (!followFinalLink && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))) {
    CloseHandle(file);
    return;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  path_ = path;
  if (GetFileType(file) == FILE_TYPE_DISK && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    regular_ = true;
    size_ = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    const int64_t written =
        static_cast<int64_t>((static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                             info.ftLastWriteTime.dwLowDateTime);
    modified_ = (written - kUnixEpochIn100ns) * 100;
  }
}

void ReadOnlyFile::close() {
  if (handle_ != kClosed) CloseHandle(handleOf(handle_));
  handle_ = kClosed;
  regular_ = false;
}

int64_t ReadOnlyFile::readAt(uint64_t offset, char* out, size_t count) const {
  if (handle_ == kClosed) return -1;
  // An offset in the OVERLAPPED structure makes a positioned read on a synchronous handle.
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD read = 0;
  const DWORD wanted = static_cast<DWORD>(std::min<size_t>(count, 1u << 30));
  if (!ReadFile(handleOf(handle_), out, wanted, &read, &at)) {
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  }
  return read;
}

std::string ReadOnlyFile::pathForLibraries() const {
  return regular_ ? path_ : std::string();
}

bool replaceFile(const std::string& path, const std::string& tempPrefix,
                 const std::function<bool(const FileWriter&)>& fill) {
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  const auto slash = path.find_last_of("/\\");
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::random_device seed;
  std::mt19937 random(seed());
  std::wstring temp;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
    std::string name = tempPrefix;
    for (int i = 0; i < 6; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
    temp = longPath(folder + name);
    file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  if (file == INVALID_HANDLE_VALUE) return false;
  const FileWriter write = [file](const char* data, size_t size) {
    while (size > 0) {
      DWORD written = 0;
      const DWORD piece = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
      if (!WriteFile(file, data, piece, &written, nullptr) || written == 0) return false;
      data += written;
      size -= written;
    }
    return true;
  };
  bool ok = fill(write) && FlushFileBuffers(file);
  ok = CloseHandle(file) && ok;
  ok = ok && MoveFileExW(temp.c_str(), longPath(path).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) DeleteFileW(temp.c_str());
  return ok;
}

bool removeFile(const std::string& path) {
  return DeleteFileW(longPath(path).c_str()) != 0;
}

std::vector<std::string> listFileNames(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW entry{};
  HANDLE search = FindFirstFileW((longPath(folder) + L"\\*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      names.push_back(wideToUtf8(entry.cFileName));
    }
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  return names;
}

std::string canonicalPath(const std::string& path) {
  // Backup semantics open folders too; the final path resolves every link on the way.
  HANDLE file =
      CreateFileW(longPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::wstring final(1024, L'\0');
  DWORD length = GetFinalPathNameByHandleW(file, final.data(), static_cast<DWORD>(final.size()),
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length >= final.size()) {
    final.resize(length + 1);
    length = GetFinalPathNameByHandleW(file, final.data(), static_cast<DWORD>(final.size()),
                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  }
  CloseHandle(file);
  if (length == 0 || length >= final.size()) return {};
  final.resize(length);
  return plainPath(final);
}

EntryKind entryKind(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(longPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return EntryKind::kMissing;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::kFolder;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return EntryKind::kOther;
  return EntryKind::kFile;
}

bool isReadable(const std::string& path) {
  return ReadOnlyFile(path).isOpen();
}

bool isWritableFolder(const std::string& folder) {
  // Folder permissions are access lists here: only making a file answers the question.
  std::random_device seed;
  const std::wstring probe =
      longPath(folder + "/.quillora-write-" + std::to_string(std::mt19937(seed())()));
  HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}
