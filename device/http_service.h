#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/delivery_ledger.h"
#include "device/device_client.h"
#include "device/send_cap.h"

// Where the embedded view finds its page: http://127.0.0.1:<port><pathPrefix>/index.html.
struct ViewEndpoint {
  uint16_t port = 0;
  std::string pathPrefix;
};
class HttpServer;
class DeviceConnection;

// One display to connect to, and where the events of that connection go.
struct DeviceLink {
  std::string address;  // "a.b.c.d[:port]"
  DeviceEventSink sink;
};

// A request a display posted to a notification path: its body and the display's address.
using NotificationSink = std::function<void(const std::string& body, const std::string& peer)>;

// The host's network engine: one io_context run by the poll thread carries the HTTP
// listeners and every device connection. Other threads never touch sockets; each public
// member hands its work to the poll thread and waits for the result.
class HttpService {
 public:
  // `sendCap` caps what the LAN listeners send as file bodies (HttpServerLimits::sendCap).
  explicit HttpService(DeviceTimeouts timeouts = {}, SendCapRates sendCap = {});
  ~HttpService();
  HttpService(const HttpService&) = delete;
  HttpService& operator=(const HttpService&) = delete;

  void startPolling();

  // One listener per address at `port` serving `webRoot`; 0 when at least one opened, else -1.
  int startListeners(const std::string& webRoot, const std::vector<std::string>& addresses,
                     int port);
  void closeListeners();
  size_t listenerCount();

  // Opens one connection per link; each logs in and then writes what its sink returns.
  // 0 when every connection was requested (or the list is empty); -1 when no listener is
  // open or an address cannot be connected to (the links after it are not tried).
  int connectDevices(std::vector<DeviceLink> links);
  // Changes the cap of the LAN listeners, also for downloads under way.
  void setSendCap(SendCapRates rates);
  // Where notifications go; until one is set they are served as file requests.
  void setNotificationSink(NotificationSink sink);

  // Runs `work` on the poll thread after `delay`, unless the service shuts down first.
  void runAfter(std::chrono::milliseconds delay, std::function<void()> work);

  // What the LAN listeners sent to whom; shared with every thread.
  DeliveryLedger& delivery() { return delivery_; }

  // The private loopback listener of the embedded view, serving `webRoot` below
  // `pathPrefix`; port 0 when it cannot be opened. A `pageRoot` other than `webRoot` serves
  // the page from there (HttpServer::setPageRoot).
  ViewEndpoint listenLoopback(const std::string& webRoot, const std::string& pageRoot = {},
                              const std::string& linkedRoot = {});

 private:
  template <class Work>
  auto onPoller(Work work) -> decltype(work());
  bool onNotification(const std::string& body, const std::string& peer);
  void serveFolder(const std::string& webRoot);

  boost::asio::io_context io_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  std::thread poller_;
  std::future<void> pollerDone_;
  DeviceTimeouts timeouts_;
  SendCapRates sendCap_;
  DeliveryLedger delivery_;
  // Everything below lives on the poll thread.
  std::string webRoot_;
  std::unique_ptr<HttpServer> server_;
  std::vector<std::weak_ptr<DeviceConnection>> connections_;
  std::vector<std::weak_ptr<boost::asio::steady_timer>> timers_;
  NotificationSink notificationSink_;
};
