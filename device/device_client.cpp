#include "device/device_client.h"
#include "device/http_request.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <deque>

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

namespace {
// Display answers are small XML documents; anything larger is not a display talking.
constexpr std::uint64_t kMaxAnswerBody = 1 << 20;
// What one write hands to the system (see writeNext).
constexpr size_t kWritePiece = 256 * 1024;
}  // namespace

struct DeviceConnection::State {
  State(asio::io_context& io, tcp::endpoint endpoint)
      : socket(io), timer(io), target(std::move(endpoint)) {}
  tcp::socket socket;
  asio::steady_timer timer;
  tcp::endpoint target;
  boost::beast::flat_buffer buffer;
  std::optional<http::response_parser<http::string_body>> parser;
  std::deque<std::string> writes;
};

std::string endpointText(const tcp::endpoint& endpoint) {
  const auto address = endpoint.address();
  std::string host = address.to_string();
  if (address.is_v6()) host = std::string(1, '[').append(host).append("]");
  return host + ":" + std::to_string(endpoint.port());
}

std::optional<tcp::endpoint> parseDeviceAddress(const std::string& address) {
  std::string host = address;
  std::string port = "80";
  if (!address.empty() && address.front() == '[') {
    size_t close = address.find(']');
    if (close == std::string::npos) return std::nullopt;
    host = address.substr(1, close - 1);
    if (close + 1 < address.size()) {
      if (address[close + 1] != ':') return std::nullopt;
      port = address.substr(close + 2);
    }
  } else if (size_t colon = address.find(':'); colon != std::string::npos) {
    host = address.substr(0, colon);
    port = address.substr(colon + 1);
  }
  if (port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  unsigned long number = std::stoul(port);
  if (number == 0 || number > 65535) return std::nullopt;
  boost::system::error_code ec;
  auto ip = asio::ip::make_address(host, ec);
  if (ec) return std::nullopt;
  return tcp::endpoint(ip, static_cast<unsigned short>(number));
}

std::string buildLoginChallengeRequest(const std::string& peer) {
  return formatRequest("POST /ISAPI/Security/Login",
                       {{"Host", peer}, {"Connection", "keep-alive"}, {"Content-Length", "0"}});
}

std::string buildDeviceRequest(const std::string& prefix, const std::string& body,
                               const std::string& id, const std::string& host) {
  return formatRequest(prefix + id,
                       {{"Host", host},
                        {"Content-Type", "application/xml"},
                        {"Content-Length", std::to_string(body.size())},
                        {"Connection", "keep-alive"}},
                       body);
}

DeviceConnection::DeviceConnection(asio::io_context& io, tcp::endpoint target, DeviceEventSink sink,
                                   DeviceTimeouts timeouts)
    : state_(std::make_unique<State>(io, target)),
      peer_(endpointText(target)),
      sink_(std::move(sink)),
      timeouts_(timeouts) {}

DeviceConnection::~DeviceConnection() = default;

void DeviceConnection::start() {
  armTimer(timeouts_.connect);
  state_->socket.async_connect(
      state_->target,
      [self = shared_from_this()](const boost::system::error_code& ec) { self->onConnected(ec); });
}

void DeviceConnection::armTimer(std::chrono::milliseconds after) {
  state_->timer.expires_after(after);
  state_->timer.async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
    auto self = weak.lock();
    if (!ec && self && !self->finished_) self->fail();
  });
}

void DeviceConnection::onConnected(const boost::system::error_code& ec) {
  if (finished_) return;
  if (ec) return fail();
  connected_ = true;
  state_->timer.cancel();
  send(buildLoginChallengeRequest(peer_));
  readNext();
}

void DeviceConnection::readNext() {
  state_->parser.emplace();
  state_->parser->body_limit(kMaxAnswerBody);
  http::async_read(state_->socket, state_->buffer, *state_->parser,
                   [self = shared_from_this()](const boost::system::error_code& ec, size_t) {
                     self->onResponse(ec);
                   });
}

void DeviceConnection::onResponse(const boost::system::error_code& ec) {
  if (finished_) return;
  if (ec) {
    // A display that closes between answers ends the connection; anything else is an error.
    bool orderly = ec == http::error::end_of_stream || ec == asio::error::eof;
    return finish(!orderly);
  }
  auto response = state_->parser->release();
  if (unanswered_ > 0 && --unanswered_ == 0 && state_->writes.empty()) state_->timer.cancel();
  std::string next = sink_(response.body(), peer_, response.result_int());
  if (finished_) return;
  if (!next.empty() && next != "OK" && next != "ERROR") send(std::move(next));
  readNext();
}

void DeviceConnection::send(std::string bytes) {
  ++unanswered_;
  state_->writes.push_back(std::move(bytes));
  if (state_->writes.size() == 1) writeNext();
}

// A large package to a slow display takes longer than any answer: while a request is being
// written the timer only watches for progress, and the answer time starts once it is out. Each
// write hands over one piece: Windows completes a send only when all of it is gone, and one
// send of the whole package would show no progress until then, nor say when it really left.
void DeviceConnection::writeNext() {
  armTimer(timeouts_.answer);
  const std::string& front = state_->writes.front();
  state_->socket.async_write_some(
      asio::buffer(front.data() + written_, std::min(front.size() - written_, kWritePiece)),
      [self = shared_from_this()](const boost::system::error_code& ec, size_t count) {
        if (self->finished_) return;
        if (ec) return self->fail();
        auto& writes = self->state_->writes;
        self->written_ += count;
        if (self->written_ == writes.front().size()) {
          writes.pop_front();
          self->written_ = 0;
        }
        if (!writes.empty()) return self->writeNext();
        if (self->unanswered_ > 0) {
          self->armTimer(self->timeouts_.answer);
        } else {
          self->state_->timer.cancel();
        }
      });
}

void DeviceConnection::fail() {
  finish(true);
}

void DeviceConnection::finish(bool reportError) {
  if (finished_) return;
  finished_ = true;
  boost::system::error_code ignored;
  state_->timer.cancel();
  state_->socket.shutdown(tcp::socket::shutdown_both, ignored);
  state_->socket.close(ignored);
  if (reportError) sink_({}, peer_, connected_ ? kStatusConnectionError : kStatusConnectFailed);
  sink_({}, peer_, kStatusConnectionClosed);
}

void DeviceConnection::abandon() {
  if (finished_) return;
  finished_ = true;
  boost::system::error_code ignored;
  state_->timer.cancel();
  state_->socket.close(ignored);
}
