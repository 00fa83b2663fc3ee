#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <string>

#include "app/desktop/page_host.h"
#include "app/desktop/web_view.h"

struct AppContext;

// The WebKitGTK view inside the main window. The page is served to it alone by a private
// loopback listener; page messages arrive through a script message handler, on which a user
// script builds the window.chrome.webview object that the page talks to.
class GtkWebView : public WebView {
 public:
  GtkWebView(AppContext& context, GtkWindow* window, bool automation);
  ~GtkWebView() override;
  GtkWebView(const GtkWebView&) = delete;
  GtkWebView& operator=(const GtkWebView&) = delete;

  // Creates the view and loads the page (or the error page).
  void start();
  // Nothing reaches the page or the dispatcher any more.
  void stop();

  void navigate(const std::string& uri) override;
  void showHtml(const std::string& html) override;
  void post(const std::string& text) override;
  void run(const std::string& script) override;
  void pageReady() override;

 private:
  static void onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result,
                              GtkWebView* self);
  static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                 WebKitPolicyDecisionType type, GtkWebView* self);
  static void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, GtkWebView* self);
  static void onAutomationStarted(WebKitWebContext*, WebKitAutomationSession* session,
                                  GtkWebView* self);
  static gboolean deliverQueued(gpointer);

  void createView(WebKitUserContentManager* contentManager);
  // Runs `body` in the page as a function body; `text` is its argument named "data".
  void callInPage(const char* body, const std::string* text = nullptr);

  AppContext& context_;
  GtkWindow* window_;
  bool automation_;
  WebKitWebContext* webContext_ = nullptr;
  WebKitWebView* view_ = nullptr;
  PageHost host_;
  bool stopped_ = false;
};
