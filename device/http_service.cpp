#include "device/http_service.h"

#include <boost/asio/post.hpp>

#include "base/log.h"
#include "device/http_server.h"

namespace asio = boost::asio;

HttpService::HttpService(DeviceTimeouts timeouts, SendCapRates sendCap)
    : work_(asio::make_work_guard(io_)), timeouts_(timeouts), sendCap_(sendCap) {}

template <class Work>
auto HttpService::onPoller(Work work) -> decltype(work()) {
  if (!poller_.joinable() || std::this_thread::get_id() == poller_.get_id()) return work();
  // The posted handler owns the task, so the task outlives the caller's wait.
  auto task = std::make_shared<std::packaged_task<decltype(work())()>>(std::move(work));
  auto result = task->get_future();
  asio::post(io_, [task] { (*task)(); });
  return result.get();
}

void HttpService::startPolling() {
  if (poller_.joinable()) return;
  std::promise<void> done;
  pollerDone_ = done.get_future();
  poller_ = std::thread([this, done = std::move(done)]() mutable {
    io_.run();
    done.set_value();
  });
}

HttpService::~HttpService() {
  if (!poller_.joinable()) return;
  onPoller([this] {
    if (server_) server_->shutdown();
    for (auto& weak : connections_) {
      if (auto connection = weak.lock()) connection->abandon();
    }
    connections_.clear();
    for (auto& weak : timers_) {
      if (auto timer = weak.lock()) timer->cancel();
    }
    timers_.clear();
  });
  work_.reset();
  // Everything was closed above, so the loop runs dry at once; the stop is only a backstop.
  if (pollerDone_.wait_for(std::chrono::seconds(2)) != std::future_status::ready) io_.stop();
  poller_.join();
}

bool HttpService::onNotification(const std::string& body, const std::string& peer) {
  if (!notificationSink_) return false;
  notificationSink_(body, peer);
  return true;
}

void HttpService::setSendCap(SendCapRates rates) {
  onPoller([&] {
    sendCap_ = rates;
    if (server_) server_->setSendCap(rates);
  });
}

void HttpService::setNotificationSink(NotificationSink sink) {
  onPoller([&] { notificationSink_ = std::move(sink); });
}

void HttpService::serveFolder(const std::string& webRoot) {
  if (server_ && webRoot_ == webRoot) return;
  if (server_) server_->shutdown();
  webRoot_ = webRoot;
  server_ = std::make_unique<HttpServer>(io_, webRoot_, HttpServerLimits{.sendCap = sendCap_});
  server_->setNotifyHandler([this](const std::string& body, const std::string& peer) {
    return onNotification(body, peer);
  });
  server_->setSentObserver([this](const std::string& host, const std::string& path, uint64_t offset,
                                  uint64_t count) { delivery_.record(host, path, offset, count); });
  // A display that a deploy waits for keeps its place when strangers fill the server.
  server_->setExpectedClient([this](const std::string& host) { return delivery_.expects(host); });
}

int HttpService::startListeners(const std::string& webRoot,
                                const std::vector<std::string>& addresses, int port) {
  if (addresses.empty()) return -1;
  return onPoller([&] {
    if (server_) server_->closeListeners();
    serveFolder(webRoot);
    bool opened = false;
    for (const auto& address : addresses) {
      bool ok = port > 0 && port <= 65535 && server_->listen(address, static_cast<uint16_t>(port));
      if (!ok) diagLog("Error: start http service @" + address);
      opened = opened || ok;
    }
    return opened ? 0 : -1;
  });
}

void HttpService::closeListeners() {
  onPoller([this] {
    if (server_) server_->closeListeners();
  });
}

size_t HttpService::listenerCount() {
  return onPoller([this]() -> size_t { return server_ ? server_->listenerCount() : 0; });
}

ViewEndpoint HttpService::listenLoopback(const std::string& webRoot, const std::string& pageRoot,
                                         const std::string& linkedRoot) {
  return onPoller([&]() -> ViewEndpoint {
    // The view needs its page even on a host without any usable network address.
    serveFolder(webRoot);
    if (!pageRoot.empty() && pageRoot != webRoot) server_->setPageRoot(pageRoot, linkedRoot);
    const uint16_t port = server_->listenLoopback();
    return {port, port ? server_->viewPrefix() : std::string()};
  });
}

int HttpService::connectDevices(std::vector<DeviceLink> links) {
  return onPoller([&]() -> int {
    if (!server_ || server_->listenerCount() == 0) return -1;
    std::erase_if(connections_, [](const auto& weak) { return weak.expired(); });
    for (auto& link : links) {
      auto target = parseDeviceAddress(link.address);
      if (!target) {
        diagLog("connect: " + link.address + " failed.");
        return -1;
      }
      auto connection =
          std::make_shared<DeviceConnection>(io_, *target, std::move(link.sink), timeouts_);
      connection->start();
      connections_.push_back(connection);
    }
    return 0;
  });
}

void HttpService::runAfter(std::chrono::milliseconds delay, std::function<void()> work) {
  onPoller([&] {
    std::erase_if(timers_, [](const auto& weak) { return weak.expired(); });
    auto timer = std::make_shared<asio::steady_timer>(io_, delay);
    timers_.push_back(timer);
    timer->async_wait([timer, work = std::move(work)](const boost::system::error_code& ec) {
      if (!ec) work();
    });
  });
}
