#include <windows.h>

#include <string>

#include "platform/executable_path.h"
#include "platform/text_conversion.h"

std::string getExecutableFolder() {
  // Grown until the whole path fits: a folder deeper than MAX_PATH must not come back cut.
  std::wstring path(1024, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
  const auto slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos) return {};
  return wideToUtf8(path.substr(0, slash));
}
