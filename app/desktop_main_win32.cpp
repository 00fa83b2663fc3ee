// quillora.exe: the desktop program on Windows. One window holds the WebView2 view of the page;
// the core behind it is the same as quillora-cli's.

#include <objbase.h>
#include <shellapi.h>
#include <windows.h>

#include <memory>
#include <string>

#include "app/desktop/desktop_rules.h"
#include "app/desktop/webview2_view.h"
#include "app/desktop/win32_dialogs.h"
#include "app/startup.h"
#include "base/log.h"
#include "platform/console.h"
#include "platform/executable_path.h"
#include "platform/instance_lock.h"
#include "platform/text_conversion.h"

namespace {

constexpr const char* kWindowClass = "QuillbenchWindow";
// The program's icon in its resources (quillora.rc), under the standard application icon's id.
constexpr WORD kIconId = 32512;

// What the window procedure reaches; set on the main thread before the window can need it.
struct Shell {
  AppContext* context = nullptr;
  WebView2View* view = nullptr;
};
Shell shell;

void closeApplication() {
  if (shell.view) shell.view->stop();
  if (shell.context) shutdownApplication(*shell.context);
  PostQuitMessage(0);
}

LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      closeApplication();
      return 0;
    case WM_SIZE:
      if (shell.view) shell.view->onResize(wParam);
      return 0;
    case kPageMessagesQueued:
      if (shell.view) shell.view->deliverQueued();
      return 0;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

HWND createMainWindow(HINSTANCE instance, const std::string& pageFolder) {
  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = windowProcedure;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(kIconId));
  windowClass.hIconSm = windowClass.hIcon;
  windowClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = kWindowClass;
  if (!RegisterClassExA(&windowClass)) {
    showMessageBox("Call to RegisterClassEx failed!");
    return nullptr;
  }
  HWND window = CreateWindowExA(0, kWindowClass, kProductName, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, 1280, 720, nullptr, nullptr, instance, nullptr);
  if (!window) {
    showMessageBox("Call to CreateWindow failed!");
    return nullptr;
  }
  // A missing or unreadable icon file leaves the one built in.
  std::wstring iconFile = utf8ToWide(pageFolder + "/favicon.ico");
  if (HANDLE icon = LoadImageW(nullptr, iconFile.c_str(), IMAGE_ICON, 0, 0,
                               LR_LOADFROMFILE | LR_DEFAULTSIZE)) {
    SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  }
  return window;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  auto options = parseDesktopOptions(commandLineArguments(0, nullptr));
  if (!options) {
    showMessageBox(options.error() + "\n" + kDesktopUsage);
    return kExitUsage;
  }
  auto answers = readDialogAnswers();
  if (!answers) {
    showMessageBox("QUILLORA_DIALOG_ANSWERS: " + answers.error());
    return kExitUsage;
  }
  std::unique_ptr<PreparedDialogs> preparedDialogs = std::move(*answers);
  initDiagLog();
  // The view's runtime calls back on this thread, which must be a single-threaded apartment.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  InstanceLock lock;
  lock.setRole("the Quillora window");
  Startup startup =
      startApplication(resolveAppFolders(options->folder, getExecutableFolder(), userEnvironment()),
                       lock, showMessageBox);
  if (startup.exitCode != 0) return startup.exitCode;
  AppContext& context = *startup.context;

  HWND window = createMainWindow(instance, context.pageFolder);
  if (!window) return 1;
  ShowWindow(window, showCommand);
  UpdateWindow(window);
  Win32FileDialogs dialogs(window);
  context.dialogs = preparedDialogs ? static_cast<FileDialogs*>(preparedDialogs.get()) : &dialogs;
  context.openUrl = [window](const std::string& url) {
    ShellExecuteW(window, L"open", utf8ToWide(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  };
  shell.context = &context;
  startNetworkOrWarn(context, [window](const std::string& text) {
    showMessageBox(text);
    CloseWindow(window);
  });

  WebView2View view(context, window);
  shell.view = &view;
  view.start();

  MSG message;
  BOOL got;
  while ((got = GetMessageA(&message, nullptr, 0, 0)) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  shell = {};
  view.stop();
  startup.context.reset();
  CoUninitialize();
  return got == 0 ? static_cast<int>(message.wParam) : 1;
}
