#pragma once

#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/ui_script.h"

// The order of everything that crosses between page and host, apart from the view that
// carries it. The page's first messages each fetch a piece of the UI script; after the last
// piece three scripts hand the page's messages over to doMessage; from then on each page
// request goes to the dispatcher and its reply back to the page. Messages from worker threads
// wait until the injection is over, since until then the page takes every message for script.
// Only a document of the page's own origin makes the host act or hears from it: the view may
// also show "https" pages, whose scripts reach the same message handler.
class BridgeFlow {
 public:
  struct Page {
    std::function<void(const std::string& text)> post;  // to the page's message listeners
    std::function<void(const char* script)> run;        // a script run in the page
    std::function<void()> ready;                        // the injection is over; may be empty
  };
  using Dispatch = std::function<std::string(const std::string& request)>;

  BridgeFlow(std::string_view script, Page page, Dispatch dispatch);

  // The origin that the page is served from ("http://127.0.0.1:PORT").
  void setOwnOrigin(std::string origin) { ownOrigin_ = std::move(origin); }
  // The view has committed the document at `uri`; until the first one nothing is shown.
  void onDocument(std::string_view uri);
  bool showsOwnDocument() const { return ownDocument_; }

  // A message from the document in the view; `text` is null when it sent something other
  // than a string. Re-entrant: a request that arrives while one is being handled (a file
  // dialog runs a nested main loop) is handled right after it.
  void onPageMessage(const std::string* text);
  // A message for the page from a worker thread, already on the main thread.
  void onWorkerMessage(std::string text);
  // Nothing reaches the page or the dispatcher any more.
  void stop();

 private:
  void injectNextPiece();
  void post(const std::string& text);

  ScriptInjection injection_;
  Page page_;
  Dispatch dispatch_;
  std::string ownOrigin_;
  std::string documentUri_;
  bool ownDocument_ = false;
  int piecesPosted_ = 0;
  std::vector<std::string> held_;
  std::deque<std::string> requests_;
  bool dispatching_ = false;
  bool stopped_ = false;
};
