#include "app/desktop/bridge_flow.h"

#include <array>

#include "app/desktop/desktop_rules.h"
#include "base/log.h"

namespace {

constexpr std::array kClosingScripts = {
    "window.chrome.webview.removeEventListener(\"message\", init);",
    "window.chrome.webview.addEventListener(\"message\", (event) =>doMessage(event.data));",
    "setupDropDownMenu();",
};

}  // namespace

BridgeFlow::BridgeFlow(std::string_view script, Page page, Dispatch dispatch)
    : injection_(script), page_(std::move(page)), dispatch_(std::move(dispatch)) {}

void BridgeFlow::onDocument(std::string_view uri) {
  documentUri_ = uri;
  ownDocument_ = isOwnOrigin(uri, ownOrigin_);
}

void BridgeFlow::onPageMessage(const std::string* text) {
  if (stopped_) return;
  if (!ownDocument_) {
    diagLog("page message from " + documentUri_ + " dropped: not the page's own origin");
    return;
  }
  if (injection_.pending()) {
    // The page asks for the next piece with any message; what it says does not matter.
    injectNextPiece();
    return;
  }
  if (!text) {
    diagLog("page message is not a string: ignored");
    return;
  }
  requests_.push_back(*text);
  if (dispatching_) return;
  dispatching_ = true;
  while (!requests_.empty() && !stopped_) {
    std::string request = std::move(requests_.front());
    requests_.pop_front();
    std::string reply = dispatch_(request);
    if (!reply.empty() && !stopped_) post(reply);
  }
  dispatching_ = false;
}

void BridgeFlow::injectNextPiece() {
  std::string piece(injection_.nextPiece());
  ++piecesPosted_;
  post(piece);
  if (injection_.pending()) return;
  diagLog("ui script injection finished after " + std::to_string(piecesPosted_) + " pieces");
  for (const char* script : kClosingScripts) page_.run(script);
  for (const auto& text : held_) post(text);
  held_.clear();
  if (page_.ready) page_.ready();
}

void BridgeFlow::onWorkerMessage(std::string text) {
  if (stopped_) return;
  if (injection_.pending()) {
    held_.push_back(std::move(text));
    return;
  }
  post(text);
}

void BridgeFlow::post(const std::string& text) {
  // A dispatch runs nested main loops, during which the view may have gone elsewhere.
  if (ownDocument_) page_.post(text);
}

void BridgeFlow::stop() {
  stopped_ = true;
  held_.clear();
  requests_.clear();
}
