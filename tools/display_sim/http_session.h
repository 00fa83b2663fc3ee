#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <memory>
#include <optional>
#include <string>

#include "sim_context.h"

namespace dsim {

// One accepted connection of a display: reads requests one after another (keep-alive),
// journals each, answers it as the display contract and the fault switches say, starts the
// downloads a fetch request orders, and closes the connection when it has been idle for
// --idle-ms. Runs on its own strand.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(boost::asio::ip::tcp::socket&& socket, SimContext& ctx,
              std::shared_ptr<Display> display);
  ~HttpSession();
  void start();

 private:
  void readHead();
  void onReadSome(boost::beast::error_code ec, std::size_t bytes);
  bool takeHead();  // true when a complete head was in the buffer and is being handled
  void readBody();
  void onBody(boost::beast::error_code ec);
  void onRequest();
  void reject(int httpStatus, const std::string& error);
  void answer(RequestRecord record, Reply reply, std::optional<FetchOrder> fetch);
  void writeAnswer();
  void onWrite(boost::beast::error_code ec);
  RequestRecord recordOf(const std::string& error) const;
  void close();

  boost::beast::tcp_stream stream_;
  SimContext& ctx_;
  std::shared_ptr<Display> display_;
  std::string peer_;
  boost::beast::flat_buffer buffer_;
  std::size_t scanned_ = 0;  // bytes of buffer_ already searched for the end of the head
  std::string rawHead_;
  std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
  boost::asio::steady_timer delay_;
  boost::beast::http::response<boost::beast::http::string_body> response_;
  std::optional<FetchOrder> pendingFetch_;
  bool closeAfterWrite_ = false;
  bool closed_ = false;
};

}  // namespace dsim
