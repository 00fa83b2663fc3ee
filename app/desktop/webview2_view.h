#pragma once

#include <windows.h>

#include <string>

#include "app/desktop/page_host.h"
#include "app/desktop/web_view.h"

struct AppContext;
struct ICoreWebView2;
struct ICoreWebView2Controller;

// The WebView2 view inside the main window. The runtime creates it asynchronously: every
// completion and event arrives on the main thread through the message loop. The page is read
// from the page folder mapped to the private host "Quillbench".
class WebView2View : public WebView {
 public:
  WebView2View(AppContext& context, HWND window);
  ~WebView2View() override;
  WebView2View(const WebView2View&) = delete;
  WebView2View& operator=(const WebView2View&) = delete;

  // Makes sure a runtime is there (starting the installer beside the program, or telling the
  // user where one comes from) and starts creating the view.
  void start();
  // The window's size changed (WM_SIZE).
  void onResize(WPARAM kind);
  // Worker threads queued messages for the page (WM_USER).
  void deliverQueued() { host_.deliverQueued(); }
  // Nothing reaches the page or the dispatcher any more; the view is closed.
  void stop();

  void navigate(const std::string& uri) override;
  void showHtml(const std::string& html) override;
  void post(const std::string& text) override;
  void run(const std::string& script) override;

 private:
  void onControllerCreated(ICoreWebView2Controller* controller);
  void applySettings();
  void mapPageFolder();
  void registerHandlers();
  void reportViewFailure(const char* step, long result);

  AppContext& context_;
  HWND window_;
  PageHost host_;
  void* loader_ = nullptr;  // WebView2Loader.dll
  ICoreWebView2Controller* controller_ = nullptr;
  ICoreWebView2* webview_ = nullptr;
  bool handlersRegistered_ = false;
  bool installerStarted_ = false;
  bool userTold_ = false;  // a message box said why there is no page
  bool stopped_ = false;
};

// The page's messages as the window procedure receives them.
inline constexpr UINT kPageMessagesQueued = WM_USER;
