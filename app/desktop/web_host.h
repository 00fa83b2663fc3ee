#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <string>

#include "app/desktop/bridge_flow.h"

struct AppContext;

// The embedded view and the bridge between page and host, all on the main thread: the view
// is created inside the main window, the shipped page is checked and loaded from the private
// loopback listener, the UI script is handed to the page one piece per page message, and
// from then on page requests go to the dispatcher and every reply or worker-thread message
// goes back to the page.
class WebHost {
 public:
  WebHost(AppContext& context, GtkWindow* window, bool automation);
  ~WebHost();
  WebHost(const WebHost&) = delete;
  WebHost& operator=(const WebHost&) = delete;

  // Creates the view and loads the page (or the error page).
  void start();
  // Nothing reaches the page or the dispatcher any more.
  void stop();

 private:
  static void onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result,
                              WebHost* host);
  static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                 WebKitPolicyDecisionType type, WebHost* host);
  static void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, WebHost* host);
  static void onAutomationStarted(WebKitWebContext*, WebKitAutomationSession* session,
                                  WebHost* host);
  static gboolean deliverQueued(gpointer text);

  void showErrorPage();
  void createView(WebKitUserContentManager* contentManager);
  // Runs `body` in the page as a function body; `text` is its argument named "data".
  void callInPage(const char* body, const std::string* text = nullptr);

  AppContext& context_;
  GtkWindow* window_;
  bool automation_;
  WebKitWebContext* webContext_ = nullptr;
  WebKitWebView* view_ = nullptr;
  std::string origin_;  // "http://127.0.0.1:PORT" once the page is served
  BridgeFlow flow_;
  bool stopped_ = false;
};
