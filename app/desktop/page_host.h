#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "app/desktop/bridge_flow.h"
#include "app/desktop/web_view.h"

struct AppContext;

// Messages that worker threads send to the page, handed to the main thread without ever making
// a worker wait for it: push() queues a copy and says whether the main thread must be woken
// (the queue was empty); the main thread takes everything queued with drain(). After close()
// pushes are dropped, so shutdown cannot be held up by a sender.
class MainThreadQueue {
 public:
  bool push(std::string text);
  std::deque<std::string> drain();
  void close();

 private:
  std::mutex mutex_;
  std::deque<std::string> queued_;
  bool closed_ = false;
};

// The shell's side of the page, the same for every view backend, all on the main thread: the
// shipped page is checked and loaded (or the error page shown), the page's language is handed
// over after each load of its own document, navigations are filtered, and everything that
// crosses between page and host goes through one BridgeFlow.
class PageHost {
 public:
  using LocaleName = std::function<std::string()>;

  // `userLocale` names the user's locale in the page's form ("de-DE"), for language "auto".
  PageHost(AppContext& context, LocaleName userLocale);
  PageHost(const PageHost&) = delete;
  PageHost& operator=(const PageHost&) = delete;

  // The view that shows the page; must outlive this object's use of it (stop() ends that).
  void attach(WebView& view);
  // Whether web/index.html is the page the program was built with; the view shows nothing
  // else of the folder.
  bool pageIsIntact() const;
  // Loads the page at `address`; its documents are those of `origin`.
  void load(const std::string& origin, const std::string& address);
  void showErrorPage();

  // What the view reports, on the main thread.
  void onDocument(std::string_view uri);
  void onPageMessage(const std::string* text);
  void onLoadFinished();
  bool allowsNavigation(std::string_view uri) const;
  // Hands what worker threads queued to the page.
  void deliverQueued();

  // Worker threads' messages; the backend wakes the main thread when push() asks for it.
  MainThreadQueue& workerQueue() { return queue_; }
  bool showsOwnDocument() const { return flow_.showsOwnDocument(); }
  // Nothing reaches the page, the view or the dispatcher any more.
  void stop();

 private:
  AppContext& context_;
  LocaleName userLocale_;
  WebView* view_ = nullptr;
  std::string origin_;
  MainThreadQueue queue_;
  BridgeFlow flow_;
  bool stopped_ = false;
};
