#pragma once

#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "digest.h"
#include "sim_context.h"
#include "xml_body.h"

namespace dsim {

struct NotifyPlan {
  std::string host;
  uint16_t port = 0;
  std::string path;   // request target of the notification
  std::string kind;   // root element of the notification
  std::string error;  // non-empty when the body named no usable server
};

// Where the outcome of `order` is posted: NotifyServerHost/NotifyServerPort, and the path
// "/ISAPI/VideoAdvert/NotifyFetchResult" for a media list, NotifyServerURL (default
// "/ISAPI/System/NotifyFetchFirmware") for firmware.
NotifyPlan planNotification(const FetchOrder& order);

// The notification body after `succeeded` of `total` downloads worked.
std::string notificationBody(const FetchOrder& order, size_t succeeded);

// Downloads every FetchURL of one order, one after another, from the display's own address,
// discarding the bytes (counted and hashed), then posts the notification. Every download and
// the notification are journalled. Keeps itself alive until done.
class FetchJob : public std::enable_shared_from_this<FetchJob> {
 public:
  FetchJob(SimContext& ctx, std::shared_ptr<Display> display, FetchOrder order);
  void start();

 private:
  void nextUrl();
  bool openStream(const boost::asio::ip::address& remote, std::string& error);
  void onConnect(boost::beast::error_code ec);
  void onRequestWritten(boost::beast::error_code ec);
  void readChunk();
  void onChunk(boost::beast::error_code ec);
  void finishUrl(bool ok, const std::string& error);
  void notify();
  void onNotifyConnect(boost::beast::error_code ec);
  void onNotifyWritten(boost::beast::error_code ec);
  void finishNotify(const std::string& error);
  void closeStream();

  SimContext& ctx_;
  std::shared_ptr<Display> display_;
  FetchOrder order_;
  boost::asio::strand<boost::asio::io_context::executor_type> strand_;
  std::optional<boost::beast::tcp_stream> stream_;
  boost::beast::flat_buffer buffer_;
  std::vector<char> chunk_;
  std::optional<boost::beast::http::response_parser<boost::beast::http::buffer_body>> parser_;
  boost::beast::http::request<boost::beast::http::empty_body> get_;
  Md5Stream md5_;
  size_t index_ = 0;
  size_t succeeded_ = 0;
  FetchRecord current_;
  std::chrono::steady_clock::time_point started_;
  boost::beast::http::request<boost::beast::http::string_body> post_;
  boost::beast::http::response<boost::beast::http::string_body> answer_;
  NotifyRecord notice_;
};

}  // namespace dsim
