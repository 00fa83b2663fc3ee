#include "app/desktop/gtk_web_view.h"

#include <cstdlib>

#include "app/app_context.h"
#include "app/desktop/desktop_rules.h"
#include "base/log.h"
#include "device/http_service.h"

namespace {

constexpr const char* kMessageHandler = "quillora";
// Tells the host that the page has drawn a frame since its script was complete.
constexpr const char* kDrawnHandler = "quilloraDrawn";

// Runs before any of the page's own scripts: the page talks to its host through
// window.chrome.webview (postMessage, add/removeEventListener, message events with `data`),
// which this builds on WebKit's script message handler.
constexpr const char* kBridgeScript = R"JS((() => {
  'use strict';
  const handler = window.webkit.messageHandlers.quillora;
  const listeners = new EventTarget();
  const webview = Object.freeze({
    postMessage(message) { handler.postMessage(message); },
    addEventListener(type, listener, options) {
      listeners.addEventListener(type, listener, options);
    },
    removeEventListener(type, listener, options) {
      listeners.removeEventListener(type, listener, options);
    },
  });
  window.chrome = window.chrome || {};
  window.chrome.webview = webview;
  Object.defineProperty(window, '__quilloraDeliver', {
    value: (data) => { listeners.dispatchEvent(new MessageEvent('message', {data})); },
  });
})();)JS";

constexpr const char* kDeliverBody = "window.__quilloraDeliver(data);";
// Two animation frames: the first runs before the next paint, the second only after it.
constexpr const char* kAwaitFrame =
    "requestAnimationFrame(() => requestAnimationFrame(() => "
    "window.webkit.messageHandlers.quilloraDrawn.postMessage('')));";

// Deliveries from worker threads run on the main thread; this is the view they reach, set
// and read only there.
GtkWebView* activeView = nullptr;

std::string userLocale() {
  return userLocaleName(std::getenv);
}

}  // namespace

GtkWebView::GtkWebView(AppContext& context, GtkWindow* window, bool automation)
    : context_(context), window_(window), automation_(automation), host_(context, userLocale) {}

GtkWebView::~GtkWebView() {
  stop();
}

void GtkWebView::start() {
  if (stopped_) return;
  webContext_ = webkit_web_context_get_default();
  if (automation_) {
    webkit_web_context_set_automation_allowed(webContext_, TRUE);
    g_signal_connect(webContext_, "automation-started", G_CALLBACK(onAutomationStarted), this);
  }
  host_.attach(*this);
  if (!host_.pageIsIntact()) {
    createView(nullptr);
    host_.showErrorPage();
    return;
  }
  ViewEndpoint endpoint;
  if (context_.httpService) {
    endpoint = context_.httpService->listenLoopback(context_.webFolder(), context_.pageFolder,
                                                    context_.linkedRoot);
  }
  if (endpoint.port == 0) {
    diagLog("no loopback listener for the page");
    createView(nullptr);
    host_.showErrorPage();
    return;
  }
  std::string origin = "http://127.0.0.1:" + std::to_string(endpoint.port);

  WebKitUserContentManager* contentManager = webkit_user_content_manager_new();
  WebKitUserScript* bridge =
      webkit_user_script_new(kBridgeScript, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                             WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
  webkit_user_content_manager_add_script(contentManager, bridge);
  webkit_user_script_unref(bridge);
  g_signal_connect(contentManager,
                   (std::string("script-message-received::") + kMessageHandler).c_str(),
                   G_CALLBACK(onScriptMessage), this);
  webkit_user_content_manager_register_script_message_handler(contentManager, kMessageHandler);
  g_signal_connect(contentManager,
                   (std::string("script-message-received::") + kDrawnHandler).c_str(),
                   G_CALLBACK(+[](WebKitUserContentManager*, WebKitJavascriptResult*, gpointer) {
                     // Logged so that a screenshot waits until there is something to see.
                     diagLog("page drawn");
                   }),
                   nullptr);
  webkit_user_content_manager_register_script_message_handler(contentManager, kDrawnHandler);
  createView(contentManager);
  g_object_unref(contentManager);

  g_signal_connect(view_, "decide-policy", G_CALLBACK(onDecidePolicy), this);
  g_signal_connect(view_, "load-changed", G_CALLBACK(onLoadChanged), this);
  activeView = this;
  context_.page.connect([this](std::string text) {
    // An idle source, not g_main_context_invoke: invoke runs the function right away on the
    // calling thread whenever that thread can take the main context, and the view must only
    // ever be touched by the main thread.
    if (host_.workerQueue().push(std::move(text))) g_idle_add(deliverQueued, nullptr);
  });
  host_.load(origin, origin + endpoint.pathPrefix + "/index.html");
}

void GtkWebView::navigate(const std::string& uri) {
  if (view_) webkit_web_view_load_uri(view_, uri.c_str());
}

void GtkWebView::showHtml(const std::string& html) {
  if (!view_) return;
  // Logged so that tests and the start-up benchmark can tell when it is on screen.
  g_signal_connect(view_, "load-changed",
                   G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer) {
                     if (event == WEBKIT_LOAD_FINISHED) diagLog("error page shown");
                   }),
                   nullptr);
  webkit_web_view_load_html(view_, html.c_str(), nullptr);
}

void GtkWebView::post(const std::string& text) {
  callInPage(kDeliverBody, &text);
}

void GtkWebView::run(const std::string& script) {
  callInPage(script.c_str());
}

void GtkWebView::pageReady() {
  callInPage(kAwaitFrame);
}

void GtkWebView::createView(WebKitUserContentManager* contentManager) {
  GObject* object =
      contentManager
          ? G_OBJECT(g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", contentManager,
                                  "is-controlled-by-automation", automation_, nullptr))
          : G_OBJECT(g_object_new(WEBKIT_TYPE_WEB_VIEW, "is-controlled-by-automation", automation_,
                                  nullptr));
  view_ = WEBKIT_WEB_VIEW(object);
  g_object_add_weak_pointer(object, reinterpret_cast<gpointer*>(&view_));

  WebKitSettings* settings = webkit_web_view_get_settings(view_);
  webkit_settings_set_enable_javascript(settings, TRUE);
  // The operator's page has no use for "Reload", "Back" or "Inspect".
  g_signal_connect(view_, "context-menu",
                   G_CALLBACK(+[](WebKitWebView*, WebKitContextMenu*, GdkEvent*,
                                  WebKitHitTestResult*, gpointer) -> gboolean { return TRUE; }),
                   nullptr);
  g_signal_connect_swapped(view_, "close", G_CALLBACK(gtk_window_close), window_);

  gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_));
  gtk_widget_show(GTK_WIDGET(view_));
  // Resizing is only limited once there is a view to protect.
  GdkGeometry geometry{};
  geometry.min_width = 640;
  geometry.min_height = 480;
  gtk_window_set_geometry_hints(window_, nullptr, &geometry, GDK_HINT_MIN_SIZE);
}

void GtkWebView::stop() {
  stopped_ = true;
  host_.stop();
  if (activeView == this) activeView = nullptr;
  // The default web context outlives this object.
  if (webContext_) g_signal_handlers_disconnect_by_data(webContext_, this);
}

void GtkWebView::onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result,
                                 GtkWebView* self) {
  JSCValue* value = webkit_javascript_result_get_js_value(result);
  if (!jsc_value_is_string(value)) {
    self->host_.onPageMessage(nullptr);
    return;
  }
  char* text = jsc_value_to_string(value);
  std::string message(text);
  g_free(text);
  self->host_.onPageMessage(&message);
}

gboolean GtkWebView::deliverQueued(gpointer) {
  if (activeView) activeView->host_.deliverQueued();
  return G_SOURCE_REMOVE;
}

void GtkWebView::callInPage(const char* body, const std::string* text) {
  if (!view_) return;
  GVariant* arguments = nullptr;
  if (text) {
    // GVariant strings must be valid UTF-8; the page would see U+FFFD where bytes were not.
    gchar* valid = g_utf8_make_valid(text->data(), static_cast<gssize>(text->size()));
    GVariantDict dict;
    g_variant_dict_init(&dict, nullptr);
    g_variant_dict_insert_value(&dict, "data", g_variant_new_take_string(valid));
    arguments = g_variant_ref_sink(g_variant_dict_end(&dict));
  }
  webkit_web_view_call_async_javascript_function(view_, body, -1, arguments, nullptr, nullptr,
                                                 nullptr, nullptr, nullptr);
  if (arguments) g_variant_unref(arguments);
}

gboolean GtkWebView::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                    WebKitPolicyDecisionType type, GtkWebView* self) {
  if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
    webkit_policy_decision_ignore(decision);
    return TRUE;
  }
  if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) return FALSE;
  WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
      WEBKIT_NAVIGATION_POLICY_DECISION(decision));
  const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
  if (self->host_.allowsNavigation(uri ? uri : "")) return FALSE;
  webkit_policy_decision_ignore(decision);
  return TRUE;
}

void GtkWebView::onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, GtkWebView* self) {
  if (self->stopped_) return;
  if (event == WEBKIT_LOAD_COMMITTED) {
    // Committed before any script of the new document runs, and over the same channel as
    // its messages, so none of them is taken for the old document's.
    const char* uri = webkit_web_view_get_uri(view);
    self->host_.onDocument(uri ? uri : "");
    return;
  }
  if (event == WEBKIT_LOAD_FINISHED) self->host_.onLoadFinished();
}

void GtkWebView::onAutomationStarted(WebKitWebContext*, WebKitAutomationSession* session,
                                     GtkWebView* self) {
  // The driver works in the program's one window instead of opening a browser window.
  g_signal_connect(session, "create-web-view",
                   G_CALLBACK(+[](WebKitAutomationSession*, GtkWebView* view) -> WebKitWebView* {
                     return view->view_;
                   }),
                   self);
}
