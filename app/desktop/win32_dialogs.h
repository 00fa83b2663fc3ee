#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "platform/file_dialog.h"

inline constexpr const char* kRuntimeMissingMessage =
    "The Microsoft Edge WebView2 Runtime, which shows Quillora's page, is not installed. "
    "Windows 10 and 11 normally have it; otherwise install the Evergreen WebView2 Runtime "
    "from Microsoft (https://developer.microsoft.com/microsoft-edge/webview2/) and start "
    "Quillora again.";
inline constexpr const char* kRuntimeInstallingMessage =
    "The Microsoft Edge WebView2 Runtime, which shows Quillora's page, is being installed. "
    "Start Quillora again once the installation has finished.";

// A start-up message box: caption "Quillora", the text, one OK button, no owner window. The
// text also goes to stderr, where a script that started the program sees it.
void showMessageBox(const std::string& text);

// The system's common file dialogs, owned by the main window.
class Win32FileDialogs : public FileDialogs {
 public:
  explicit Win32FileDialogs(HWND owner) : owner_(owner) {}
  std::vector<std::string> chooseFiles(const std::vector<DialogFilter>& filters,
                                       bool multiple) override;
  std::string chooseSaveFile(const std::string& suggestedName) override;

 private:
  HWND owner_;
};
