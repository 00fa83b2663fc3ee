#include "unit/fake_display.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <chrono>
#include <thread>

namespace asio = boost::asio;

namespace {
// One byte, or false when the peer closed, failed or sent nothing before the deadline. A
// display that waits longer than that for the host has already seen the fault.
bool readByte(asio::ip::tcp::socket& socket, std::chrono::steady_clock::time_point deadline,
              char& c) {
  boost::system::error_code ec;
  socket.non_blocking(true, ec);
  while (std::chrono::steady_clock::now() < deadline) {
    socket.read_some(asio::buffer(&c, 1), ec);
    if (ec != asio::error::would_block) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const bool got = !ec;
  socket.non_blocking(false, ec);
  return got;
}
}  // namespace

std::string readRequest(asio::ip::tcp::socket& socket) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  std::string data;
  char c;
  boost::system::error_code ec;
  while (data.find("\r\n\r\n") == std::string::npos) {
    if (!readByte(socket, deadline, c)) return data;
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
