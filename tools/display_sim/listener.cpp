#include "listener.h"

#include <boost/asio/strand.hpp>
#include <chrono>

#include "http_session.h"
#include "url.h"

namespace dsim {

namespace net = boost::asio;
using tcp = net::ip::tcp;

Listener::Listener(SimContext& ctx, std::shared_ptr<Display> display)
    : ctx_(ctx),
      display_(std::move(display)),
      acceptor_(net::make_strand(ctx.ioc)),
      retry_(acceptor_.get_executor()) {}

bool Listener::open(uint16_t port, std::string& error) {
  boost::beast::error_code ec;
  const tcp::endpoint endpoint(display_->address, port);
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    error = "cannot listen on " + formatEndpoint(display_->address.to_string(), port) + ": " +
            ec.message();
    return false;
  }
  display_->port = acceptor_.local_endpoint(ec).port();
  display_->label = formatEndpoint(display_->address.to_string(), display_->port);
  return true;
}

void Listener::start() {
  net::dispatch(acceptor_.get_executor(), [self = shared_from_this()] { self->accept(); });
}

void Listener::stop() {
  net::dispatch(acceptor_.get_executor(), [self = shared_from_this()] {
    boost::beast::error_code ec;
    self->retry_.cancel();
    self->acceptor_.close(ec);
  });
}

void Listener::accept() {
  if (!acceptor_.is_open()) return;
  acceptor_.async_accept(net::make_strand(ctx_.ioc),
                         boost::beast::bind_front_handler(&Listener::onAccept, shared_from_this()));
}

void Listener::onAccept(boost::beast::error_code ec, tcp::socket socket) {
  if (ec == net::error::operation_aborted || !acceptor_.is_open()) return;
  if (ec) {
    // For example out of file descriptors: try again shortly instead of spinning.
    retry_.expires_after(std::chrono::milliseconds(100));
    retry_.async_wait([self = shared_from_this()](boost::beast::error_code wait) {
      if (!wait) self->accept();
    });
    return;
  }
  if (ctx_.openConnections.load() >= ctx_.options.maxConnections) {
    boost::beast::error_code ignored;
    socket.close(ignored);
  } else {
    std::make_shared<HttpSession>(std::move(socket), ctx_, display_)->start();
  }
  accept();
}

}  // namespace dsim
