// A WebView2Loader.dll of our own, for the desktop program's tests under Wine, where no WebView2
// runtime exists. It answers the calls the host makes, logs each one as a JSON line to
// QUILLORA_STANDIN_LOG, and plays a page: the injection handshake, then the steps of the file named
// by QUILLORA_STANDIN_PAGE. QUILLORA_STANDIN_RUNTIME=none plays a machine without the runtime.
//
// Where the protocol with the tests leaves a choice, this is what the stand-in does:
// - The log is appended to, never truncated; each line is one write to a handle opened for
//   appending, so programs that share a log do not interleave inside lines.
// - Methods that answer E_NOTIMPL are logged, getters too, with empty args. Interface pointers
//   (handlers, options) are logged as true, or null when absent; out-parameters are not logged;
//   put_Cancel of the event args is a call of the host like any setter.
// - NavigationStarting, the "navigation" line and the "failed" line carry the address as given;
//   "loaded", get_Source and the page's messages use the document's address, whose scheme and
//   host are in lower case. IsUserInitiated and IsRedirected are always FALSE.
// - A cancelled navigation raises no NavigationCompleted. A failed one changes neither the
//   source nor the page being played.
// - A mapped folder is taken as it is when the document loads; the path after the host is used
//   as written (no percent-decoding), without its query and fragment.
// - The steps have one position per web view. A newly loaded mapped document holds them until
//   its injection is over, "about:blank" holds them until one is; a sleep or await that a new
//   document interrupts is dropped. "done" is logged as soon as the last step has run, a page
//   file that cannot be read is an error followed by "done".
// - Only PostWebMessageAsString is a script piece; an await hears either kind of post.
// - After Controller::Close the calls still answer S_OK, but nothing is raised any more and the
//   host's handlers are released.
// - Everything asynchronous goes through one message-only window per thread, in posting order.
//   The DLL pins itself when it makes that window, so that a FreeLibrary cannot unload the
//   window's procedure.
#include <windows.h>

#include <WebView2.h>
#include <objbase.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

// What the shipped page sends to start the injection and to answer each piece of it.
constexpr wchar_t kScriptStart[] = LR"({"T":"uiScript","C":"get","V":1,"P":""})";
constexpr wchar_t kScriptNext[] = LR"({"T":"uiScript","C":"set","V":1,"P":""})";
constexpr wchar_t kClosingScript[] =
    L"window.chrome.webview.addEventListener(\"message\", (event) =>doMessage(event.data));";

std::wstring Env(const wchar_t* name) {
  wchar_t value[2048];
  DWORD n = GetEnvironmentVariableW(name, value, ARRAYSIZE(value));
  return n < ARRAYSIZE(value) ? std::wstring(value, n) : std::wstring();
}

bool NoRuntime() {
  return Env(L"QUILLORA_STANDIN_RUNTIME") == L"none";
}

std::string Utf8(const std::wstring& text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::wstring Wide(const std::string& text) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

// Strings handed to the host are the host's to free with CoTaskMemFree.
HRESULT GiveString(const std::wstring& text, LPWSTR* out) {
  if (!out) return E_POINTER;
  *out = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
  if (!*out) return E_OUTOFMEMORY;
  std::copy(text.c_str(), text.c_str() + text.size() + 1, *out);
  return S_OK;
}

template <class T>
HRESULT Give(T value, T* out) {
  if (!out) return E_POINTER;
  *out = value;
  return S_OK;
}

template <class T, class I>
HRESULT GiveObject(const ComPtr<T>& object, I** out) {
  if (!out) return E_POINTER;
  *out = object.Get();
  (*out)->AddRef();
  return S_OK;
}

// ---- The call log ---------------------------------------------------------------------------

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + '"';
}

void WriteLine(const std::string& json) {
  static const std::wstring path = Env(L"QUILLORA_STANDIN_LOG");
  if (path.empty()) return;
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  std::string line = json + "\n";
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
}

std::string Json(const wchar_t* text) {
  return text ? Quote(Utf8(text)) : "null";
}
std::string Json(const std::wstring& text) {
  return Quote(Utf8(text));
}
std::string Json(bool value) {
  return value ? "true" : "false";
}
std::string Json(HWND window) {
  return Json(window != nullptr);
}
std::string Json(IUnknown* object) {
  return object ? "true" : "null";
}
std::string Json(const RECT& r) {
  return "[" + std::to_string(r.left) + "," + std::to_string(r.top) + "," +
         std::to_string(r.right) + "," + std::to_string(r.bottom) + "]";
}
template <class T, std::enable_if_t<std::is_integral_v<T> || std::is_enum_v<T>, int> = 0>
std::string Json(T number) {
  return std::to_string(static_cast<long long>(number));
}

template <class... Args>
void LogCall(const char* name, const Args&... args) {
  std::string list;
  ((list += list.empty() ? "" : ",", list += Json(args)), ...);
  WriteLine(std::string("{\"call\":\"") + name + "\",\"args\":[" + list + "]}");
}

void LogPage(const std::string& what, const std::string& fields = "") {
  WriteLine("{\"page\":\"" + what + "\"" + fields + "}");
}

// ---- The message loop's work ----------------------------------------------------------------

constexpr UINT kRunTask = WM_APP + 1;
thread_local std::map<UINT_PTR, std::function<void()>> timers;

LRESULT CALLBACK QueueProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == kRunTask) {
    std::unique_ptr<std::function<void()>> task(reinterpret_cast<std::function<void()>*>(lparam));
    (*task)();
    return 0;
  }
  if (message == WM_TIMER) {
    KillTimer(window, wparam);
    auto found = timers.find(wparam);
    if (found == timers.end()) return 0;
    auto task = std::move(found->second);
    timers.erase(found);
    task();
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

HWND QueueWindow() {
  thread_local HWND window = nullptr;
  if (window) return window;
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&QueueProc), &module);
  WNDCLASSW type{};
  type.lpfnWndProc = QueueProc;
  type.hInstance = module;
  type.lpszClassName = L"QuilloraStandinQueue";
  RegisterClassW(&type);  // A second thread finds it registered already.
  window = CreateWindowExW(0, type.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, module,
                           nullptr);
  return window;
}

void Post(std::function<void()> task) {
  HWND window = QueueWindow();
  auto* posted = new std::function<void()>(std::move(task));
  if (!window || !PostMessageW(window, kRunTask, 0, reinterpret_cast<LPARAM>(posted)))
    delete posted;
}

void After(UINT milliseconds, std::function<void()> task) {
  thread_local UINT_PTR last_id = 0;
  if (milliseconds == 0) return Post(std::move(task));
  timers[++last_id] = std::move(task);
  SetTimer(QueueWindow(), last_id, milliseconds, nullptr);
}

// ---- COM plumbing ---------------------------------------------------------------------------

template <class I, const IID&... Ids>
class Com : public I {
 public:
  virtual ~Com() = default;
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !(IsEqualIID(iid, Ids) || ...)) return E_NOINTERFACE;
    *out = static_cast<I*>(this);
    AddRef();
    return S_OK;
  }

 private:
  std::atomic<ULONG> references_{0};
};

#define STUB(Name, Params)                         \
  HRESULT STDMETHODCALLTYPE Name Params override { \
    return LogCall(#Name), E_NOTIMPL;              \
  }
#define EVENT(Name, Handler, list)                                                           \
  HRESULT STDMETHODCALLTYPE add_##Name(Handler* h, EventRegistrationToken* token) override { \
    LogCall("add_" #Name, h);                                                                \
    return list.Add(h, token);                                                               \
  }                                                                                          \
  HRESULT STDMETHODCALLTYPE remove_##Name(EventRegistrationToken token) override {           \
    LogCall("remove_" #Name, token.value);                                                   \
    return list.Remove(token), S_OK;                                                         \
  }
#define EVENT_STUB(Name, Handler)                       \
  STUB(add_##Name, (Handler*, EventRegistrationToken*)) \
  STUB(remove_##Name, (EventRegistrationToken))

// Host handlers of one event, raised in registration order.
template <class Handler>
class Handlers {
 public:
  HRESULT Add(Handler* handler, EventRegistrationToken* token) {
    static INT64 last_token = 0;
    if (!handler || !token) return E_INVALIDARG;
    token->value = ++last_token;
    list_.emplace_back(token->value, handler);
    return S_OK;
  }
  void Remove(EventRegistrationToken token) {
    std::erase_if(list_, [&](const auto& entry) { return entry.first == token.value; });
  }
  void Clear() { list_.clear(); }
  template <class Sender, class Args>
  void Raise(Sender* sender, Args* args) {
    auto snapshot = list_;  // A handler may remove itself.
    for (auto& entry : snapshot) entry.second->Invoke(sender, args);
  }

 private:
  std::vector<std::pair<INT64, ComPtr<Handler>>> list_;
};

// ---- Settings and event arguments -----------------------------------------------------------

#define SETTING(Name)                                          \
  HRESULT STDMETHODCALLTYPE get_##Name(BOOL* value) override { \
    return Give(Name##_, value);                               \
  }                                                            \
  HRESULT STDMETHODCALLTYPE put_##Name(BOOL value) override {  \
    LogCall("put_" #Name, value != FALSE);                     \
    Name##_ = value;                                           \
    return S_OK;                                               \
  }                                                            \
  BOOL Name##_ = TRUE;

class Settings : public Com<ICoreWebView2Settings, IID_ICoreWebView2Settings> {
 public:
  SETTING(IsScriptEnabled)
  SETTING(IsWebMessageEnabled)
  SETTING(AreDefaultScriptDialogsEnabled)
  SETTING(IsStatusBarEnabled)
  SETTING(AreDevToolsEnabled)
  SETTING(AreDefaultContextMenusEnabled)
  SETTING(AreHostObjectsAllowed)
  SETTING(IsZoomControlEnabled)
  SETTING(IsBuiltInErrorPageEnabled)
};

class StartingArgs : public Com<ICoreWebView2NavigationStartingEventArgs,
                                IID_ICoreWebView2NavigationStartingEventArgs> {
 public:
  StartingArgs(std::wstring uri, UINT64 id) : uri_(std::move(uri)), id_(id) {}
  HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) override { return GiveString(uri_, uri); }
  HRESULT STDMETHODCALLTYPE get_IsUserInitiated(BOOL* value) override { return Give(FALSE, value); }
  HRESULT STDMETHODCALLTYPE get_IsRedirected(BOOL* value) override { return Give(FALSE, value); }
  STUB(get_RequestHeaders, (ICoreWebView2HttpRequestHeaders**))
  HRESULT STDMETHODCALLTYPE get_Cancel(BOOL* cancel) override { return Give(cancel_, cancel); }
  HRESULT STDMETHODCALLTYPE put_Cancel(BOOL cancel) override {
    LogCall("put_Cancel", cancel != FALSE);
    cancel_ = cancel;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_NavigationId(UINT64* id) override { return Give(id_, id); }
  bool Cancelled() const { return cancel_; }

 private:
  std::wstring uri_;
  UINT64 id_;
  BOOL cancel_ = FALSE;
};

class CompletedArgs : public Com<ICoreWebView2NavigationCompletedEventArgs,
                                 IID_ICoreWebView2NavigationCompletedEventArgs> {
 public:
  CompletedArgs(bool success, UINT64 id) : success_(success), id_(id) {}
  HRESULT STDMETHODCALLTYPE get_IsSuccess(BOOL* value) override {
    return Give<BOOL>(success_, value);
  }
  HRESULT STDMETHODCALLTYPE get_WebErrorStatus(COREWEBVIEW2_WEB_ERROR_STATUS* status) override {
    return Give(success_ ? COREWEBVIEW2_WEB_ERROR_STATUS_UNKNOWN
                         : COREWEBVIEW2_WEB_ERROR_STATUS_HOST_NAME_NOT_RESOLVED,
                status);
  }
  HRESULT STDMETHODCALLTYPE get_NavigationId(UINT64* id) override { return Give(id_, id); }

 private:
  bool success_;
  UINT64 id_;
};

class MessageArgs : public Com<ICoreWebView2WebMessageReceivedEventArgs,
                               IID_ICoreWebView2WebMessageReceivedEventArgs> {
 public:
  MessageArgs(std::wstring source, std::wstring text)
      : source_(std::move(source)), text_(std::move(text)) {}
  HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* source) override {
    return GiveString(source_, source);
  }
  HRESULT STDMETHODCALLTYPE get_WebMessageAsJson(LPWSTR* json) override {
    return GiveString(Wide(Json(text_)), json);
  }
  HRESULT STDMETHODCALLTYPE TryGetWebMessageAsString(LPWSTR* text) override {
    return GiveString(text_, text);
  }

 private:
  std::wstring source_, text_;
};

// ---- The web view and the page it plays -----------------------------------------------------

std::wstring Lower(std::wstring text) {
  if (!text.empty()) CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
  return text;
}

// The address as the runtime shows it: scheme and host in lower case.
std::wstring DocumentAddress(const std::wstring& uri) {
  size_t scheme = uri.find(L"://");
  if (scheme == std::wstring::npos) return uri;
  size_t end = std::min(uri.find_first_of(L"/?#", scheme + 3), uri.size());
  return Lower(uri.substr(0, end)) + uri.substr(end);
}

class WebView
    : public Com<ICoreWebView2_3, IID_ICoreWebView2, IID_ICoreWebView2_2, IID_ICoreWebView2_3> {
 public:
  explicit WebView(HWND parent) : parent_(parent) {}

  HRESULT STDMETHODCALLTYPE get_Settings(ICoreWebView2Settings** settings) override {
    LogCall("get_Settings");
    return GiveObject(settings_, settings);
  }
  HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* uri) override { return GiveString(source_, uri); }
  HRESULT STDMETHODCALLTYPE Navigate(LPCWSTR uri) override {
    LogCall("Navigate", uri);
    if (!uri) return E_INVALIDARG;
    Later([uri = std::wstring(uri)](WebView& view) { view.Go(uri); });
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE NavigateToString(LPCWSTR html) override {
    LogCall("NavigateToString", html);
    if (!html) return E_INVALIDARG;
    Later([](WebView& view) {
      if (view.Starting(L"about:blank")) view.Load(L"about:blank", false);
    });
    return S_OK;
  }
  EVENT(NavigationStarting, ICoreWebView2NavigationStartingEventHandler, starting_)
  EVENT(NavigationCompleted, ICoreWebView2NavigationCompletedEventHandler, completed_)
  EVENT(WebMessageReceived, ICoreWebView2WebMessageReceivedEventHandler, messages_)
  HRESULT STDMETHODCALLTYPE ExecuteScript(LPCWSTR script,
                                          ICoreWebView2ExecuteScriptCompletedHandler* h) override {
    LogCall("ExecuteScript", script, h);
    if (!script) return E_INVALIDARG;
    ComPtr<ICoreWebView2ExecuteScriptCompletedHandler> handler(h);
    Later([script = std::wstring(script), handler](WebView& view) {
      if (view.document_ == Document::kInjecting && script == kClosingScript) {
        view.document_ = Document::kPlaying;
        view.host_posts_.clear();
        view.Continue();
      }
      if (handler) handler->Invoke(S_OK, L"null");
    });
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE PostWebMessageAsJson(LPCWSTR json) override {
    LogCall("PostWebMessageAsJson", json);
    if (!json) return E_INVALIDARG;
    Later([json = std::wstring(json)](WebView& view) { view.Receive(json, false); });
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE PostWebMessageAsString(LPCWSTR text) override {
    LogCall("PostWebMessageAsString", text);
    if (!text) return E_INVALIDARG;
    Later([text = std::wstring(text)](WebView& view) { view.Receive(text, true); });
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetVirtualHostNameToFolderMapping(
      LPCWSTR host, LPCWSTR folder, COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND kind) override {
    LogCall("SetVirtualHostNameToFolderMapping", host, folder, kind);
    if (!host || !folder) return E_INVALIDARG;
    folders_[Lower(host)] = folder;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ClearVirtualHostNameToFolderMapping(LPCWSTR host) override {
    LogCall("ClearVirtualHostNameToFolderMapping", host);
    if (!host) return E_INVALIDARG;
    folders_.erase(Lower(host));
    return S_OK;
  }

  EVENT_STUB(ContentLoading, ICoreWebView2ContentLoadingEventHandler)
  EVENT_STUB(SourceChanged, ICoreWebView2SourceChangedEventHandler)
  EVENT_STUB(HistoryChanged, ICoreWebView2HistoryChangedEventHandler)
  EVENT_STUB(FrameNavigationStarting, ICoreWebView2NavigationStartingEventHandler)
  EVENT_STUB(FrameNavigationCompleted, ICoreWebView2NavigationCompletedEventHandler)
  EVENT_STUB(ScriptDialogOpening, ICoreWebView2ScriptDialogOpeningEventHandler)
  EVENT_STUB(PermissionRequested, ICoreWebView2PermissionRequestedEventHandler)
  EVENT_STUB(ProcessFailed, ICoreWebView2ProcessFailedEventHandler)
  EVENT_STUB(NewWindowRequested, ICoreWebView2NewWindowRequestedEventHandler)
  EVENT_STUB(DocumentTitleChanged, ICoreWebView2DocumentTitleChangedEventHandler)
  EVENT_STUB(ContainsFullScreenElementChanged,
             ICoreWebView2ContainsFullScreenElementChangedEventHandler)
  EVENT_STUB(WebResourceRequested, ICoreWebView2WebResourceRequestedEventHandler)
  EVENT_STUB(WindowCloseRequested, ICoreWebView2WindowCloseRequestedEventHandler)
  EVENT_STUB(WebResourceResponseReceived, ICoreWebView2WebResourceResponseReceivedEventHandler)
  EVENT_STUB(DOMContentLoaded, ICoreWebView2DOMContentLoadedEventHandler)
  STUB(AddScriptToExecuteOnDocumentCreated,
       (LPCWSTR, ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler*))
  STUB(RemoveScriptToExecuteOnDocumentCreated, (LPCWSTR))
  STUB(CapturePreview, (COREWEBVIEW2_CAPTURE_PREVIEW_IMAGE_FORMAT, IStream*,
                        ICoreWebView2CapturePreviewCompletedHandler*))
  STUB(Reload, ())
  STUB(CallDevToolsProtocolMethod,
       (LPCWSTR, LPCWSTR, ICoreWebView2CallDevToolsProtocolMethodCompletedHandler*))
  STUB(get_BrowserProcessId, (UINT32*))
  STUB(get_CanGoBack, (BOOL*))
  STUB(get_CanGoForward, (BOOL*))
  STUB(GoBack, ())
  STUB(GoForward, ())
  STUB(GetDevToolsProtocolEventReceiver, (LPCWSTR, ICoreWebView2DevToolsProtocolEventReceiver**))
  STUB(Stop, ())
  STUB(get_DocumentTitle, (LPWSTR*))
  STUB(AddHostObjectToScript, (LPCWSTR, VARIANT*))
  STUB(RemoveHostObjectFromScript, (LPCWSTR))
  STUB(OpenDevToolsWindow, ())
  STUB(get_ContainsFullScreenElement, (BOOL*))
  STUB(AddWebResourceRequestedFilter, (LPCWSTR, COREWEBVIEW2_WEB_RESOURCE_CONTEXT))
  STUB(RemoveWebResourceRequestedFilter, (LPCWSTR, COREWEBVIEW2_WEB_RESOURCE_CONTEXT))
  STUB(NavigateWithWebResourceRequest, (ICoreWebView2WebResourceRequest*))
  STUB(get_CookieManager, (ICoreWebView2CookieManager**))
  STUB(get_Environment, (ICoreWebView2Environment**))
  STUB(TrySuspend, (ICoreWebView2TrySuspendCompletedHandler*))
  STUB(Resume, ())
  STUB(get_IsSuspended, (BOOL*))

  // The controller closed: nothing is raised any more, and the host's handlers are let go.
  void Shut() {
    closed_ = true;
    ++ticket_;
    starting_.Clear();
    completed_.Clear();
    messages_.Clear();
  }

 private:
  enum class Document { kNone, kInjecting, kPlaying };

  // Work done later from the message loop, as the runtime does it; never after Close.
  void Later(std::function<void(WebView&)> work, UINT milliseconds = 0) {
    ComPtr<WebView> self(this);
    After(milliseconds, [self, work] {
      if (!self->closed_) work(*self.Get());
    });
  }

  // The page's next step, unless a new document or a close came in between.
  void Step(std::function<void(WebView&)> work, UINT milliseconds = 0) {
    Later(
        [work, ticket = ticket_](WebView& view) {
          if (ticket == view.ticket_) work(view);
        },
        milliseconds);
  }

  bool Starting(const std::wstring& uri) {
    ComPtr<StartingArgs> args(new StartingArgs(uri, ++navigation_id_));
    starting_.Raise(static_cast<ICoreWebView2*>(this), args.Get());
    LogPage("navigation", ",\"uri\":" + Json(uri) + ",\"cancelled\":" + Json(args->Cancelled()));
    return !args->Cancelled() && !closed_;
  }

  void Completed(bool success) {
    ComPtr<CompletedArgs> args(new CompletedArgs(success, navigation_id_));
    completed_.Raise(static_cast<ICoreWebView2*>(this), args.Get());
  }

  void Go(const std::wstring& uri) {
    if (!Starting(uri)) return;
    std::wstring address = DocumentAddress(uri), file;
    std::string failure;
    if (address.rfind(L"https://", 0) != 0) {
      failure = "not an https address";
    } else {
      size_t path = std::min(address.find_first_of(L"/?#", 8), address.size());
      auto folder = folders_.find(address.substr(8, path - 8));
      if (folder == folders_.end()) {
        failure = "host not mapped";
      } else {
        file = address.substr(path, address.find_first_of(L"?#", path) - path);
        for (auto& c : file) c = c == L'/' ? L'\\' : c;
        file = folder->second + file;
        DWORD attributes = GetFileAttributesW(file.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
          failure = "no file " + Utf8(file);
      }
    }
    if (failure.empty()) return Load(address, true);
    LogPage("failed", ",\"uri\":" + Json(uri) + ",\"reason\":" + Quote(failure));
    Completed(false);
  }

  void Load(const std::wstring& address, bool plays) {
    ++ticket_;
    awaiting_ = false;
    document_ = Document::kNone;
    source_ = address;
    LogPage("loaded", ",\"uri\":" + Json(address));
    Completed(true);
    if (!plays || closed_) return;
    document_ = Document::kInjecting;
    ToHost(kScriptStart);
  }

  void ToHost(const std::wstring& text) {
    LogPage("message", ",\"text\":" + Json(text));
    ComPtr<MessageArgs> args(new MessageArgs(source_, text));
    messages_.Raise(static_cast<ICoreWebView2*>(this), args.Get());
  }

  void Receive(const std::wstring& text, bool as_string) {
    if (document_ == Document::kInjecting && as_string)
      return ToHost(kScriptNext);
    if (document_ != Document::kPlaying) return;
    host_posts_.push_back(text);
    if (awaiting_ && Heard()) {
      ++ticket_;  // The await's time-out is void.
      Continue();
    }
  }

  // Whether a host post since the last await carried the awaited text; if so, a new await
  // starts from nothing.
  bool Heard() {
    for (const auto& post : host_posts_) {
      if (post.find(awaited_) == std::wstring::npos) continue;
      host_posts_.clear();
      awaiting_ = false;
      return true;
    }
    return false;
  }

  bool StepsOver() {
    if (!steps_read_) {
      steps_read_ = true;
      std::wstring path = Env(L"QUILLORA_STANDIN_PAGE");
      if (path.empty()) return stays_ = true;
      std::ifstream file{std::filesystem::path(path)};
      if (!file) LogPage("error", ",\"reason\":" + Quote("cannot read " + Utf8(path)));
      for (std::string step; std::getline(file, step);) {
        if (!step.empty() && step.back() == '\r') step.pop_back();
        if (!step.empty() && step[0] != '#') steps_.push_back(step);
      }
    }
    return stays_ || next_step_ >= steps_.size();
  }

  void Continue() {
    if (!StepsOver()) {
      return Step([](WebView& view) {
        if (!view.StepsOver()) view.RunStep();
      });
    }
    if (!stays_ && !done_) LogPage("done");
    done_ = true;
  }

  void RunStep() {
    if (parent_ && !IsWindow(parent_)) return;  // The page went with its window.
    const std::string line = steps_[next_step_++];
    size_t space = line.find(' ');
    std::string verb = line.substr(0, space),
                rest = space == line.npos ? "" : line.substr(space + 1);
    char* end = nullptr;
    HWND top = parent_ ? GetAncestor(parent_, GA_ROOT) : nullptr;
    if (verb == "post") {
      ToHost(Wide(rest));
      return Continue();
    }
    if (verb == "await") {
      size_t last = rest.rfind(' ');
      double seconds = last == rest.npos ? -1 : std::strtod(rest.c_str() + last + 1, &end);
      if (last != rest.npos && last > 0 && *end == '\0' && seconds >= 0) {
        awaited_ = Wide(rest.substr(0, last));
        awaiting_ = true;
        if (Heard()) return Continue();
        return Step(
            [line](WebView& view) {
              LogPage("error", ",\"reason\":" + Quote("timed out: " + line));
              view.host_posts_.clear();
              view.awaiting_ = false;
              view.Continue();
            },
            static_cast<UINT>(std::min(seconds, 86400.0) * 1000));
      }
    } else if (verb == "sleep") {
      if (!rest.empty() && rest.size() < 9 && rest.find_first_not_of("0123456789") == rest.npos)
        return Step([](WebView& view) { view.Continue(); }, std::stoul(rest));
    } else if (verb == "navigate" && !rest.empty()) {
      Go(Wide(rest));
      if (document_ == Document::kPlaying && !closed_) Continue();
      return;
    } else if (verb == "resize") {
      long width = std::strtol(rest.c_str(), &end, 10), height = std::strtol(end, &end, 10);
      if (top && *end == '\0' && width > 0 && height > 0) {
        SetWindowPos(top, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER);
        // Read back after the host's own WM_SIZE work.
        return Step([top](WebView& view) {
          RECT r{};
          if (!IsWindow(top) || !GetWindowRect(top, &r)) return;
          LogPage("window", ",\"outer\":[" + std::to_string(r.right - r.left) + "," +
                                std::to_string(r.bottom - r.top) + "]");
          view.Continue();
        });
      }
    } else if (verb == "close" && rest.empty() && top) {
      PostMessageW(top, WM_CLOSE, 0, 0);
      return Continue();
    }
    LogPage("error", ",\"reason\":" + Quote("bad step: " + line));
    Continue();
  }

  HWND parent_;
  ComPtr<Settings> settings_{new Settings};
  Handlers<ICoreWebView2NavigationStartingEventHandler> starting_;
  Handlers<ICoreWebView2NavigationCompletedEventHandler> completed_;
  Handlers<ICoreWebView2WebMessageReceivedEventHandler> messages_;
  std::map<std::wstring, std::wstring> folders_;
  std::wstring source_ = L"about:blank";
  UINT64 navigation_id_ = 0;
  bool closed_ = false;
  Document document_ = Document::kNone;
  // Outstanding steps carry the ticket they were scheduled with; a new one voids them.
  unsigned ticket_ = 0;
  std::vector<std::string> steps_;
  size_t next_step_ = 0;
  bool steps_read_ = false, stays_ = false, done_ = false;
  std::vector<std::wstring> host_posts_;
  std::wstring awaited_;
  bool awaiting_ = false;
};

// ---- Controller and environment -------------------------------------------------------------

class Controller : public Com<ICoreWebView2Controller, IID_ICoreWebView2Controller> {
 public:
  explicit Controller(HWND parent) : view_(new WebView(parent)) {}

  HRESULT STDMETHODCALLTYPE get_IsVisible(BOOL* visible) override {
    return Give(visible_, visible);
  }
  HRESULT STDMETHODCALLTYPE put_IsVisible(BOOL visible) override {
    LogCall("put_IsVisible", visible != FALSE);
    visible_ = visible;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Bounds(RECT* bounds) override { return Give(bounds_, bounds); }
  HRESULT STDMETHODCALLTYPE put_Bounds(RECT bounds) override {
    LogCall("put_Bounds", bounds);
    bounds_ = bounds;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE MoveFocus(COREWEBVIEW2_MOVE_FOCUS_REASON reason) override {
    LogCall("MoveFocus", reason);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE NotifyParentWindowPositionChanged() override {
    LogCall("NotifyParentWindowPositionChanged");
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Close() override {
    LogCall("Close");
    view_->Shut();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_CoreWebView2(ICoreWebView2** view) override {
    LogCall("get_CoreWebView2");
    return GiveObject(view_, view);
  }
  STUB(get_ZoomFactor, (double*))
  STUB(put_ZoomFactor, (double))
  STUB(SetBoundsAndZoomFactor, (RECT, double))
  STUB(get_ParentWindow, (HWND*))
  STUB(put_ParentWindow, (HWND))
  EVENT_STUB(ZoomFactorChanged, ICoreWebView2ZoomFactorChangedEventHandler)
  EVENT_STUB(MoveFocusRequested, ICoreWebView2MoveFocusRequestedEventHandler)
  EVENT_STUB(GotFocus, ICoreWebView2FocusChangedEventHandler)
  EVENT_STUB(LostFocus, ICoreWebView2FocusChangedEventHandler)
  EVENT_STUB(AcceleratorKeyPressed, ICoreWebView2AcceleratorKeyPressedEventHandler)

 private:
  ComPtr<WebView> view_;
  BOOL visible_ = TRUE;
  RECT bounds_{};
};

class Environment : public Com<ICoreWebView2Environment, IID_ICoreWebView2Environment> {
 public:
  HRESULT STDMETHODCALLTYPE CreateCoreWebView2Controller(
      HWND parent, ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* h) override {
    LogCall("CreateCoreWebView2Controller", parent, h);
    if (!h) return E_INVALIDARG;
    ComPtr<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler> handler(h);
    Post([handler, parent] {
      ComPtr<Controller> controller(new Controller(parent));
      handler->Invoke(S_OK, controller.Get());
    });
    return S_OK;
  }
  STUB(CreateWebResourceResponse,
       (IStream*, int, LPCWSTR, LPCWSTR, ICoreWebView2WebResourceResponse**))
  STUB(get_BrowserVersionString, (LPWSTR*))
  EVENT_STUB(NewBrowserVersionAvailable, ICoreWebView2NewBrowserVersionAvailableEventHandler)
};

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE
    GetAvailableCoreWebView2BrowserVersionString(PCWSTR folder, LPWSTR* version) {
  LogCall("GetAvailableCoreWebView2BrowserVersionString", folder);
  if (!version) return E_POINTER;
  *version = nullptr;
  if (NoRuntime()) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  return GiveString(L"131.0.2903.40", version);
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE CreateCoreWebView2EnvironmentWithOptions(
    PCWSTR browser_folder, PCWSTR user_data_folder, ICoreWebView2EnvironmentOptions* options,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* h) {
  LogCall("CreateCoreWebView2EnvironmentWithOptions", browser_folder, user_data_folder, options, h);
  if (NoRuntime()) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  if (!h) return E_INVALIDARG;
  ComPtr<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler> handler(h);
  Post([handler] {
    ComPtr<Environment> environment(new Environment);
    handler->Invoke(S_OK, environment.Get());
  });
  return S_OK;
}
