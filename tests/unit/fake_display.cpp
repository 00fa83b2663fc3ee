#include "unit/fake_display.h"

#include <boost/asio/read.hpp>

namespace asio = boost::asio;

std::string readRequest(asio::ip::tcp::socket& socket) {
  std::string data;
  char c;
  boost::system::error_code ec;
  while (data.find("\r\n\r\n") == std::string::npos) {
    if (asio::read(socket, asio::buffer(&c, 1), ec) != 1) return data;
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
