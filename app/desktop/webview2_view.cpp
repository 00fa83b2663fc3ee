#include "app/desktop/webview2_view.h"

#include <objbase.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <utility>

// The SDK's header, after windows.h: it names the COM types that windows.h declares.
#include "WebView2.h"
#include "app/app_context.h"
#include "app/desktop/desktop_rules.h"
#include "app/desktop/win32_dialogs.h"
#include "base/log.h"
#include "platform/executable_path.h"
#include "platform/shared_library.h"
#include "platform/text_conversion.h"

namespace {

// The page's private host; the runtime reports documents with the host in lower case.
constexpr const wchar_t* kVirtualHost = L"Quillbench";
constexpr const char* kPageAddress = "https://Quillbench/index.html";
constexpr const char* kPageOrigin = "https://quillbench";
constexpr const wchar_t* kInstaller = L"MicrosoftEdgeWebview2Setup.exe";

// A completion or event handler: one small COM object per call, holding a function.
template <typename Interface, const IID* Iid, typename... Args>
class Callback final : public Interface {
 public:
  using Function = std::function<HRESULT(Args...)>;
  explicit Callback(Function function) : function_(std::move(function)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, *Iid)) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    *object = static_cast<Interface*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE Invoke(Args... args) override { return function_(args...); }

 private:
  std::atomic<ULONG> references_{1};
  Function function_;
};

// Creates the handler, hands it to `call` (which keeps its own reference) and lets go of ours.
template <typename Handler, typename Call>
HRESULT withHandler(typename Handler::Function function, Call call) {
  auto* handler = new Handler(std::move(function));
  HRESULT result = call(handler);
  handler->Release();
  return result;
}

using EnvironmentCreated = Callback<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
                                    &IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
                                    HRESULT, ICoreWebView2Environment*>;
using ControllerCreated = Callback<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
                                   &IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
                                   HRESULT, ICoreWebView2Controller*>;
using NavigationStarting = Callback<ICoreWebView2NavigationStartingEventHandler,
                                    &IID_ICoreWebView2NavigationStartingEventHandler,
                                    ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs*>;
using MessageReceived = Callback<ICoreWebView2WebMessageReceivedEventHandler,
                                 &IID_ICoreWebView2WebMessageReceivedEventHandler, ICoreWebView2*,
                                 ICoreWebView2WebMessageReceivedEventArgs*>;
using NavigationCompleted = Callback<ICoreWebView2NavigationCompletedEventHandler,
                                     &IID_ICoreWebView2NavigationCompletedEventHandler,
                                     ICoreWebView2*, ICoreWebView2NavigationCompletedEventArgs*>;

using BrowserVersion = HRESULT(STDAPICALLTYPE*)(PCWSTR, LPWSTR*);
using CreateEnvironment =
    HRESULT(STDAPICALLTYPE*)(PCWSTR, PCWSTR, ICoreWebView2EnvironmentOptions*,
                             ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler*);

// A text the runtime allocated, as UTF-8; the runtime's copy is freed.
std::string takeText(LPWSTR text) {
  if (!text) return {};
  std::string utf8 = wideToUtf8(text);
  CoTaskMemFree(text);
  return utf8;
}

template <typename Object>
void release(Object*& object) {
  if (object) object->Release();
  object = nullptr;
}

std::string hresultText(long result) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(result));
  return text;
}

std::string userLocale() {
  wchar_t name[LOCALE_NAME_MAX_LENGTH];
  int length = GetUserDefaultLocaleName(name, LOCALE_NAME_MAX_LENGTH);
  return length < 1 ? "en" : wideToUtf8(std::wstring(name, static_cast<size_t>(length - 1)));
}

}  // namespace

WebView2View::WebView2View(AppContext& context, HWND window)
    : context_(context), window_(window), host_(context, userLocale) {}

WebView2View::~WebView2View() {
  stop();
  closeSharedLibrary(loader_);
}

void WebView2View::start() {
  host_.attach(*this);
  HWND window = window_;
  context_.page.connect([this, window](std::string text) {
    // Posted, never sent: a worker thread must not wait for the main thread.
    if (host_.workerQueue().push(std::move(text))) PostMessageW(window, kPageMessagesQueued, 0, 0);
  });
  // Found in the program's own folder first, where it ships.
  loader_ = loadSharedLibrary("WebView2Loader.dll");
  auto getVersion = reinterpret_cast<BrowserVersion>(
      findLibrarySymbol(loader_, "GetAvailableCoreWebView2BrowserVersionString"));
  auto createEnvironment = reinterpret_cast<CreateEnvironment>(
      findLibrarySymbol(loader_, "CreateCoreWebView2EnvironmentWithOptions"));
  if (!loader_ || !getVersion || !createEnvironment) {
    showMessageBox(
        "WebView2Loader.dll is missing beside the program or damaged: reinstall "
        "Quillora.");
    return;
  }
  LPWSTR version = nullptr;
  if (SUCCEEDED(getVersion(nullptr, &version)) && version) {
    diagLog("WebView2 runtime " + takeText(version));
  } else {
    std::wstring installer = utf8ToWide(getExecutableFolder()) + L"\\" + kInstaller;
    if (GetFileAttributesW(installer.c_str()) != INVALID_FILE_ATTRIBUTES) {
      diagLog("no WebView2 runtime: starting its installer");
      ShellExecuteW(window_, L"open", installer.c_str(), L"/install", nullptr, SW_HIDE);
      installerStarted_ = true;
    } else {
      userTold_ = true;
      showMessageBox(kRuntimeMissingMessage);
    }
  }
  HRESULT result = withHandler<EnvironmentCreated>(
      [this](HRESULT status, ICoreWebView2Environment* environment) -> HRESULT {
        if (stopped_) return S_OK;
        if (FAILED(status) || !environment) {
          reportViewFailure("environment", status);
          return S_OK;
        }
        HRESULT created = withHandler<ControllerCreated>(
            [this](HRESULT done, ICoreWebView2Controller* controller) -> HRESULT {
              if (stopped_) return S_OK;
              if (FAILED(done) || !controller) {
                reportViewFailure("controller", done);
                return S_OK;
              }
              onControllerCreated(controller);
              return S_OK;
            },
            [&](ControllerCreated* handler) {
              return environment->CreateCoreWebView2Controller(window_, handler);
            });
        if (FAILED(created)) reportViewFailure("controller", created);
        return S_OK;
      },
      [&](EnvironmentCreated* handler) {
        return createEnvironment(nullptr, nullptr, nullptr, handler);
      });
  if (FAILED(result)) reportViewFailure("environment", result);
}

void WebView2View::reportViewFailure(const char* step, long result) {
  diagLog(std::string("WebView2 ") + step + " not created: " + hresultText(result));
  // One message: without a runtime the user has been told already.
  if (userTold_) return;
  userTold_ = true;
  showMessageBox(installerStarted_
                     ? kRuntimeInstallingMessage
                     : "The page view could not be created (" + std::string(step) + ", " +
                           hresultText(result) + "). " + kRuntimeMissingMessage);
}

void WebView2View::onControllerCreated(ICoreWebView2Controller* controller) {
  release(webview_);
  release(controller_);
  controller_ = controller;
  controller_->AddRef();
  if (FAILED(controller_->get_CoreWebView2(&webview_)) || !webview_) {
    reportViewFailure("view", E_FAIL);
    return;
  }
  applySettings();
  onResize(SIZE_RESTORED);
  if (!host_.pageIsIntact()) {
    host_.showErrorPage();
    return;
  }
  mapPageFolder();
  host_.load(kPageOrigin, kPageAddress);
}

void WebView2View::applySettings() {
  ICoreWebView2Settings* settings = nullptr;
  if (FAILED(webview_->get_Settings(&settings)) || !settings) return;
  settings->put_IsScriptEnabled(TRUE);
  settings->put_AreDefaultScriptDialogsEnabled(TRUE);
  settings->put_IsWebMessageEnabled(TRUE);
  settings->put_AreDefaultContextMenusEnabled(FALSE);
  settings->put_IsStatusBarEnabled(FALSE);
  settings->Release();
}

void WebView2View::mapPageFolder() {
  ICoreWebView2_3* view3 = nullptr;
  if (FAILED(webview_->QueryInterface(IID_ICoreWebView2_3, reinterpret_cast<void**>(&view3))) ||
      !view3) {
    MessageBoxW(nullptr, L"SetVirtualHostNameToFolderMapping", L"Error", MB_OK);
    return;
  }
  // The folder in full: a relative one would be looked up from the working folder, which need
  // not be the program's.
  std::error_code error;
  auto folder =
      std::filesystem::absolute(std::filesystem::path(utf8ToWide(context_.pageFolder)), error);
  std::wstring path = (error ? std::filesystem::path(utf8ToWide(context_.pageFolder)) : folder)
                          .make_preferred()
                          .wstring();
  view3->SetVirtualHostNameToFolderMapping(kVirtualHost, path.c_str(),
                                           COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND_DENY);
  view3->Release();
}

void WebView2View::registerHandlers() {
  handlersRegistered_ = true;
  EventRegistrationToken token;
  withHandler<NavigationStarting>(
      [this](ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs* args) -> HRESULT {
        LPWSTR uri = nullptr;
        args->get_Uri(&uri);
        std::string target = takeText(uri);
        if (!host_.allowsNavigation(target)) {
          args->put_Cancel(TRUE);
        } else if (!isOwnOrigin(target, kPageOrigin)) {
          // Until the other document has loaded, nothing more is posted to the page.
          host_.onDocument(target);
        }
        return S_OK;
      },
      [&](NavigationStarting* handler) {
        return webview_->add_NavigationStarting(handler, &token);
      });
  withHandler<MessageReceived>(
      [this](ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs* args) -> HRESULT {
        LPWSTR source = nullptr;
        args->get_Source(&source);
        // Each message is judged by the document that sent it.
        host_.onDocument(takeText(source));
        LPWSTR text = nullptr;
        if (FAILED(args->TryGetWebMessageAsString(&text)) || !text) {
          host_.onPageMessage(nullptr);
          return S_OK;
        }
        std::string message = takeText(text);
        host_.onPageMessage(&message);
        return S_OK;
      },
      [&](MessageReceived* handler) { return webview_->add_WebMessageReceived(handler, &token); });
  withHandler<NavigationCompleted>(
      [this](ICoreWebView2* sender, ICoreWebView2NavigationCompletedEventArgs*) -> HRESULT {
        LPWSTR source = nullptr;
        if (sender && SUCCEEDED(sender->get_Source(&source))) host_.onDocument(takeText(source));
        host_.onLoadFinished();
        return S_OK;
      },
      [&](NavigationCompleted* handler) {
        return webview_->add_NavigationCompleted(handler, &token);
      });
}

void WebView2View::onResize(WPARAM kind) {
  // A minimised window has no size of its own to keep the minimum for.
  if (!controller_ || kind == SIZE_MINIMIZED || IsIconic(window_)) return;
  RECT outer;
  GetWindowRect(window_, &outer);
  const LONG width = outer.right - outer.left, height = outer.bottom - outer.top;
  if (width < 640 || height < 480) {
    // Re-enters this handler, which then sets the bounds.
    SetWindowPos(window_, nullptr, outer.left, outer.top, std::max<LONG>(width, 640),
                 std::max<LONG>(height, 480), SWP_NOZORDER | SWP_NOACTIVATE);
    return;
  }
  RECT client;
  GetClientRect(window_, &client);
  controller_->put_Bounds(client);
}

void WebView2View::navigate(const std::string& uri) {
  if (!webview_) return;
  webview_->Navigate(utf8ToWide(uri).c_str());
  if (!handlersRegistered_) registerHandlers();
}

void WebView2View::showHtml(const std::string& html) {
  if (webview_) webview_->NavigateToString(utf8ToWide(html).c_str());
}

void WebView2View::post(const std::string& text) {
  if (webview_) webview_->PostWebMessageAsString(utf8ToWide(text).c_str());
}

void WebView2View::run(const std::string& script) {
  if (webview_) webview_->ExecuteScript(utf8ToWide(script).c_str(), nullptr);
}

void WebView2View::stop() {
  if (stopped_) return;
  stopped_ = true;
  host_.stop();
  release(webview_);
  if (controller_) controller_->Close();
  release(controller_);
}
