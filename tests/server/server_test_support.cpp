#include "server_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <boost/asio/buffer.hpp>
// GCC 12 takes the boost::optional in Beast's parser for maybe-uninitialized once it is inlined
// with the sanitizers' instrumentation; it is always set before it is read.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#pragma GCC diagnostic pop

namespace fs = std::filesystem;
namespace http = boost::beast::http;
using Clock = std::chrono::steady_clock;

TempTree::TempTree() {
  std::string pattern = (fs::temp_directory_path() / "quillora-server-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempTree::~TempTree() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void TempTree::write(const std::string& relative, const std::string& content) const {
  const fs::path target = file(relative);
  fs::create_directories(target.parent_path());
  std::ofstream(target, std::ios::binary) << content;
}

void TempTree::mkdir(const std::string& relative) const {
  fs::create_directories(file(relative));
}

void TempTree::symlink(const std::string& target, const std::string& relative) const {
  fs::create_symlink(target, file(relative));
}

std::string patternBytes(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1664525u + 1013904223u;
    bytes[i] = static_cast<char>(state >> 24);
  }
  return bytes;
}

TestClient::TestClient(uint16_t port, int receiveBuffer, const char* address) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (::inet_pton(AF_INET, address, &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    length = sizeof *v4;
  } else if (::inet_pton(AF_INET6, address, &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    length = sizeof *v6;
  } else {
    return;
  }
  fd_ = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  if (receiveBuffer > 0) {
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  }
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

TestClient::~TestClient() {
  if (fd_ >= 0) ::close(fd_);
}

uint16_t TestClient::localPort() const {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return 0;
  if (storage.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
  }
  return ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

bool TestClient::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

std::string TestClient::readSome(size_t count, std::chrono::milliseconds timeout) {
  pollfd waitFor{fd_, POLLIN, 0};
  if (::poll(&waitFor, 1, static_cast<int>(timeout.count())) <= 0) return {};
  scratch_.resize(std::max(scratch_.size(), count));
  const ssize_t got = ::recv(fd_, scratch_.data(), count, 0);
  return got > 0 ? std::string(scratch_.data(), static_cast<size_t>(got)) : std::string();
}

std::optional<HttpAnswer> TestClient::read(bool toHead, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  http::response_parser<http::string_body> parser;
  parser.eager(true);
  parser.body_limit(boost::none);
  parser.skip(toHead);
  boost::system::error_code ec;
  while (!parser.is_done()) {
    if (!pending_.empty()) {
      const size_t used = parser.put(boost::asio::buffer(pending_), ec);
      pending_.erase(0, used);
      if (ec && ec != http::error::need_more) return std::nullopt;
      if (parser.is_done()) break;
      if (used > 0 && !ec) continue;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd waitFor{fd_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&waitFor, 1, static_cast<int>(left.count())) <= 0) {
      return std::nullopt;
    }
    scratch_.resize(std::max<size_t>(scratch_.size(), 256 * 1024));
    const ssize_t got = ::recv(fd_, scratch_.data(), scratch_.size(), 0);
    if (got <= 0) {
      // Only an answer that had begun can be completed by the end of the connection.
      if (!parser.got_some()) return std::nullopt;
      parser.put_eof(ec);
      if (ec || !parser.is_done()) return std::nullopt;
      break;
    }
    pending_.append(scratch_.data(), static_cast<size_t>(got));
  }
  HttpAnswer answer;
  const auto& message = parser.get();
  answer.status = message.result_int();
  for (const auto& field : message) {
    std::string name(field.name_string());
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    answer.headers[name] = std::string(field.value());
  }
  answer.body = message.body();
  answer.keepAlive = message.keep_alive();
  return answer;
}

std::optional<HttpAnswer> TestClient::readComparing(std::string_view expected, bool& bodyMatches,
                                                    std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  bodyMatches = false;
  size_t headEnd;
  while ((headEnd = pending_.find("\r\n\r\n")) == std::string::npos) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const std::string more = left.count() > 0 ? readSome(64 * 1024, left) : std::string();
    if (more.empty()) return std::nullopt;
    pending_ += more;
  }
  // The head alone goes through the parser; the body is checked here.
  std::string head = pending_.substr(0, headEnd + 4);
  std::string_view body = std::string_view(pending_).substr(headEnd + 4);
  http::response_parser<http::empty_body> parser;
  parser.skip(true);
  boost::system::error_code ec;
  parser.put(boost::asio::buffer(head), ec);
  if (ec || !parser.content_length()) return std::nullopt;
  const uint64_t length = *parser.content_length();
  HttpAnswer answer;
  answer.status = parser.get().result_int();
  for (const auto& field : parser.get()) {
    std::string name(field.name_string());
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    answer.headers[name] = std::string(field.value());
  }
  answer.keepAlive = parser.get().keep_alive();

  bool same =
      length == expected.size() && body.size() <= length && body == expected.substr(0, body.size());
  uint64_t received = body.size();
  pending_.clear();
  scratch_.resize(std::max<size_t>(scratch_.size(), 256 * 1024));
  while (same && received < length) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd waitFor{fd_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&waitFor, 1, static_cast<int>(left.count())) <= 0) break;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(scratch_.size(), length - received));
    const ssize_t got = ::recv(fd_, scratch_.data(), want, 0);
    if (got <= 0) break;
    same = std::string_view(scratch_.data(), static_cast<size_t>(got)) ==
           expected.substr(received, static_cast<size_t>(got));
    received += static_cast<uint64_t>(got);
  }
  bodyMatches = same && received == length;
  return answer;
}

std::optional<HttpAnswer> TestClient::request(std::string_view bytes, bool toHead,
                                              std::chrono::milliseconds timeout) {
  if (!send(bytes)) return std::nullopt;
  return read(toHead, timeout);
}

bool TestClient::waitClosed(std::chrono::milliseconds timeout, size_t* drained) {
  const auto deadline = Clock::now() + timeout;
  size_t total = pending_.size();
  pending_.clear();
  char scratch[65536];
  bool closed = false;
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd waitFor{fd_, POLLIN, 0};
    if (::poll(&waitFor, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t got = ::recv(fd_, scratch, sizeof scratch, 0);
    if (got <= 0) {
      closed = true;
      break;
    }
    total += static_cast<size_t>(got);
  }
  if (drained) *drained = total;
  return closed;
}

std::string getRequest(std::string_view target, std::string_view extraHeaders,
                       std::string_view method) {
  std::string request(method);
  request += " ";
  request += target;
  request += " HTTP/1.1\r\nHost: test\r\n";
  request += extraHeaders;
  request += "\r\n";
  return request;
}
