#pragma once

#include <string>

// What the desktop shell needs of an embedded web view. Each system has one backend (WebKitGTK
// on Linux, WebView2 on Windows); their own types stay in their own files, and everything
// above a backend talks to this.
class WebView {
 public:
  virtual ~WebView() = default;
  // Top-level navigation of the view.
  virtual void navigate(const std::string& uri) = 0;
  // A document of its own, with no origin the host would answer.
  virtual void showHtml(const std::string& html) = 0;
  // A string message to the page's message listeners.
  virtual void post(const std::string& text) = 0;
  // A script run in the page; its result is not looked at.
  virtual void run(const std::string& script) = 0;
  // The page has all of its script and takes the host's messages.
  virtual void pageReady() {}
};
