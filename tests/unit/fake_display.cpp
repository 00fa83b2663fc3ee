#include "unit/fake_display.h"

#include <poll.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <chrono>

namespace asio = boost::asio;

namespace {
// A display that waits longer than this for the host has already seen the fault.
bool readable(asio::ip::tcp::socket& socket, std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  pollfd fd{socket.native_handle(), POLLIN, 0};
  return left.count() > 0 && ::poll(&fd, 1, static_cast<int>(left.count())) == 1;
}
}  // namespace

std::string readRequest(asio::ip::tcp::socket& socket) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  std::string data;
  char c;
  boost::system::error_code ec;
  while (data.find("\r\n\r\n") == std::string::npos) {
    if (!readable(socket, deadline) || asio::read(socket, asio::buffer(&c, 1), ec) != 1) {
      return data;
    }
    data += c;
  }
  size_t at = data.find("Content-Length: ");
  size_t length = at == std::string::npos ? 0 : std::stoul(data.substr(at + 16));
  std::string body(length, '\0');
  if (length) asio::read(socket, asio::buffer(body), ec);
  return data + body;
}
std::string httpAnswer(const std::string& body, int status) {
  return "HTTP/1.1 " + std::to_string(status) +
         " X\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string responseStatus(const std::string& url, const std::string& code, const std::string& text,
                           const std::string& extra) {
  return "<?xml version=\"1.0\"?>\n<ResponseStatus><RequestURL>" + url +
         "</RequestURL><StatusCode>" + code + "</StatusCode><StatusString>" + text +
         "</StatusString>" + extra + "</ResponseStatus>";
}

uint16_t freePort() {
  asio::io_context io;
  return asio::ip::tcp::acceptor(io, {asio::ip::make_address("127.0.0.1"), 0})
      .local_endpoint()
      .port();
}
