#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/error.hpp>
#include <memory>
#include <string>

#include "sim_context.h"

namespace dsim {

// The HTTP listener of one display, bound to the display's own address (never 0.0.0.0).
class Listener : public std::enable_shared_from_this<Listener> {
 public:
  Listener(SimContext& ctx, std::shared_ptr<Display> display);

  // Binds address:port; on success sets display->port and display->label.
  bool open(uint16_t port, std::string& error);
  void start();
  void stop();

 private:
  void accept();
  void onAccept(boost::beast::error_code ec, boost::asio::ip::tcp::socket socket);

  SimContext& ctx_;
  std::shared_ptr<Display> display_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer retry_;
};

}  // namespace dsim
