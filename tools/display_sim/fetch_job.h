#pragma once

#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

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

// Which FetchURLs of an order are fetched, and whether the fetch result tells the truth; the
// fetch faults apply to media lists only.
struct FetchPlan {
  size_t downloads = 0;   // the first `downloads` FetchURLs, in document order
  bool claimAll = false;  // every file is reported as fetched, whatever was downloaded
};
FetchPlan planFetch(const FetchOrder& order, const Faults& faults);

// The notification body after `succeeded` of the planned downloads worked.
std::string notificationBody(const FetchOrder& order, const FetchPlan& plan, size_t succeeded);

// Downloads the planned FetchURLs of one order from the display's own address, at most
// --parallel-downloads at once, discarding the bytes (counted, and hashed unless --hash off),
// then posts the notification with the real counts once every download ended. Every download
// and the notification are journalled. All of it runs on the job's strand; the job keeps
// itself alive until done.
class FetchJob : public std::enable_shared_from_this<FetchJob> {
 public:
  using Strand = boost::asio::strand<boost::asio::io_context::executor_type>;
  FetchJob(SimContext& ctx, std::shared_ptr<Display> display, FetchOrder order);
  void start();

 private:
  void launch();
  void startNext();
  void onDownloadEnded(bool ok);
  bool openStream(const boost::asio::ip::address& remote, std::string& error);
  void notify();
  void onNotifyConnect(boost::beast::error_code ec);
  void onNotifyWritten(boost::beast::error_code ec);
  void finishNotify(const std::string& error);
  void closeStream();

  SimContext& ctx_;
  std::shared_ptr<Display> display_;
  FetchOrder order_;
  Strand strand_;
  FetchPlan plan_;
  size_t started_ = 0;  // downloads begun
  size_t ended_ = 0;
  size_t succeeded_ = 0;
  std::optional<boost::beast::tcp_stream> stream_;
  boost::beast::flat_buffer buffer_;
  boost::beast::http::request<boost::beast::http::string_body> post_;
  boost::beast::http::response<boost::beast::http::string_body> answer_;
  NotifyRecord notice_;
};

}  // namespace dsim
