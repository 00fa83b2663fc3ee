#include "app/desktop/page_host.h"

#include "app/app_context.h"
#include "app/desktop/desktop_rules.h"
#include "app/page_integrity.h"
#include "base/log.h"
#include "commands/dispatcher.h"

bool MainThreadQueue::push(std::string text) {
  std::lock_guard lock(mutex_);
  if (closed_) return false;
  queued_.push_back(std::move(text));
  return queued_.size() == 1;
}

std::deque<std::string> MainThreadQueue::drain() {
  std::lock_guard lock(mutex_);
  return std::exchange(queued_, {});
}

void MainThreadQueue::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  queued_.clear();
}

PageHost::PageHost(AppContext& context, LocaleName userLocale)
    : context_(context),
      userLocale_(std::move(userLocale)),
      flow_(uiScript(),
            {[this](const std::string& text) {
               if (view_) view_->post(text);
             },
             [this](const char* script) {
               if (view_) view_->run(script);
             },
             [this] {
               if (view_) view_->pageReady();
             }},
            [this](const std::string& request) { return dispatchPageMessage(context_, request); }) {
}

void PageHost::attach(WebView& view) {
  view_ = &view;
}

bool PageHost::pageIsIntact() const {
  if (shippedPageIsIntact(context_.pageFolder)) return true;
  diagLog("page integrity check failed: " + context_.pageFolder + "/index.html");
  return false;
}

void PageHost::load(const std::string& origin, const std::string& address) {
  if (stopped_ || !view_) return;
  origin_ = origin;
  flow_.setOwnOrigin(origin);
  diagLog("page: " + address);
  view_->navigate(address);
}

void PageHost::showErrorPage() {
  if (!stopped_ && view_) view_->showHtml(errorPageHtml());
}

void PageHost::onDocument(std::string_view uri) {
  if (!stopped_) flow_.onDocument(uri);
}

void PageHost::onPageMessage(const std::string* text) {
  flow_.onPageMessage(text);
}

void PageHost::onLoadFinished() {
  if (stopped_ || !view_ || !flow_.showsOwnDocument()) return;
  std::string language = pageLanguage(context_.language, userLocale_);
  diagLog("loadTranslation('" + language + "')");
  view_->run(translationScript(language));
}

bool PageHost::allowsNavigation(std::string_view uri) const {
  if (navigationAllowed(uri, origin_)) return true;
  diagLog("navigation refused: " + std::string(uri));
  return false;
}

void PageHost::deliverQueued() {
  for (auto& text : queue_.drain()) flow_.onWorkerMessage(std::move(text));
}

void PageHost::stop() {
  stopped_ = true;
  queue_.close();
  flow_.stop();
  view_ = nullptr;
}
