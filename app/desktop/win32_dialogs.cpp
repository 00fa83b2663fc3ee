#include "app/desktop/win32_dialogs.h"

#include <commdlg.h>

#include <cstdio>

#include "app/app_context.h"
#include "platform/text_conversion.h"

namespace {

// Room for a multiple selection of many long names: the dialog fails rather than cut a list.
constexpr size_t kSelectionUnits = 1 << 16;

// "label\0patterns\0...\0\0", the form the dialog takes its filters in.
std::wstring filterList(const std::vector<DialogFilter>& filters) {
  std::wstring list;
  for (const auto& filter : filters) {
    list += utf8ToWide(filter.label) + L'\0' + utf8ToWide(filter.patterns) + L'\0';
  }
  return list + L'\0';
}

// The buffer holds one full path, or with several chosen, the folder and then each name, every
// one followed by a NUL and the whole by a second one.
std::vector<std::string> chosenPaths(const std::wstring& buffer) {
  std::vector<std::wstring> parts;
  for (size_t start = 0; start < buffer.size() && buffer[start] != L'\0';) {
    size_t end = buffer.find(L'\0', start);
    parts.push_back(buffer.substr(start, end - start));
    start = end + 1;
  }
  std::vector<std::string> paths;
  if (parts.size() == 1) paths.push_back(wideToUtf8(parts[0]));
  for (size_t i = 1; i < parts.size(); ++i)
    paths.push_back(wideToUtf8(parts[0] + L'\\' + parts[i]));
  return paths;
}

}  // namespace

void showMessageBox(const std::string& text) {
  std::fprintf(stderr, "quillora: %s\n", text.c_str());
  std::fflush(stderr);
  MessageBoxW(nullptr, utf8ToWide(text).c_str(), utf8ToWide(kProductName).c_str(), MB_OK);
}

std::vector<std::string> Win32FileDialogs::chooseFiles(const std::vector<DialogFilter>& filters,
                                                       bool multiple) {
  std::wstring filter = filterList(filters);
  std::wstring buffer(kSelectionUnits, L'\0');
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = owner_;
  dialog.lpstrFilter = filters.empty() ? nullptr : filter.c_str();
  dialog.lpstrFile = buffer.data();
  dialog.nMaxFile = static_cast<DWORD>(buffer.size());
  dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY |
                 (multiple ? OFN_ALLOWMULTISELECT : 0);
  if (!GetOpenFileNameW(&dialog)) return {};
  return chosenPaths(buffer);
}

std::string Win32FileDialogs::chooseSaveFile(const std::string& suggestedName) {
  std::wstring buffer = utf8ToWide(suggestedName);
  buffer.resize(kSelectionUnits, L'\0');
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = owner_;
  dialog.lpstrFile = buffer.data();
  dialog.nMaxFile = static_cast<DWORD>(buffer.size());
  dialog.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
  if (!GetSaveFileNameW(&dialog)) return {};
  return wideToUtf8(buffer.c_str());
}
