#include "app/page_bridge.h"

#include "app/app_context.h"

void PageChannel::connect(Deliver deliver) {
  std::lock_guard lock(mutex_);
  deliver_ = std::move(deliver);
}

void PageChannel::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  deliver_ = nullptr;
}

void PageChannel::send(std::string text) {
  std::lock_guard lock(mutex_);
  if (closed_ || !deliver_ || text.empty()) return;
  deliver_(std::move(text));
}

void sendToPage(AppContext& context, std::string text) {
  context.page.send(std::move(text));
}
