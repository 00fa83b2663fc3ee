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
#include <boost/beast/http/parser.hpp>
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

TestClient::TestClient(uint16_t port, int receiveBuffer, const char* address, const char* from) {
  sockaddr_in v4{};
  sockaddr_in6 v6{};
  sockaddr* target = nullptr;
  socklen_t length = 0;
  if (::inet_pton(AF_INET, address, &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    target = reinterpret_cast<sockaddr*>(&v4);
    length = sizeof v4;
  } else if (::inet_pton(AF_INET6, address, &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    target = reinterpret_cast<sockaddr*>(&v6);
    length = sizeof v6;
  } else {
    return;
  }
  fd_ = ::socket(target->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  if (receiveBuffer > 0) {
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  }
  sockaddr_in source{};
  source.sin_family = AF_INET;
  if (from && (::inet_pton(AF_INET, from, &source.sin_addr) != 1 ||
               ::bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0)) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  if (::connect(fd_, target, length) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

TestClient::~TestClient() {
  if (fd_ >= 0) ::close(fd_);
}

uint16_t TestClient::localPort() const {
  sockaddr_in6 local{};  // large enough for either family; the port is at the same offset
  socklen_t length = sizeof local;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin6_port);
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

ssize_t TestClient::receive(char* into, size_t count, Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  pollfd waitFor{fd_, POLLIN, 0};
  if (left.count() <= 0 || ::poll(&waitFor, 1, static_cast<int>(left.count())) <= 0) return -1;
  const ssize_t got = ::recv(fd_, into, count, 0);
  return got < 0 ? 0 : got;
}

std::string TestClient::readSome(size_t count, std::chrono::milliseconds timeout) {
  std::string bytes(count, '\0');
  const ssize_t got = receive(bytes.data(), count, Clock::now() + timeout);
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return bytes;
}

std::optional<HttpAnswer> TestClient::read(bool toHead, std::chrono::milliseconds timeout,
                                           std::optional<std::string_view> expected) {
  const auto deadline = Clock::now() + timeout;
  size_t headEnd;
  while ((headEnd = pending_.find("\r\n\r\n")) == std::string::npos) {
    char chunk[16 * 1024];
    const ssize_t got = receive(chunk, sizeof chunk, deadline);
    if (got <= 0) return std::nullopt;
    pending_.append(chunk, static_cast<size_t>(got));
  }
  http::response_parser<http::empty_body> parser;
  parser.skip(true);
  boost::system::error_code ec;
  parser.put(boost::asio::buffer(pending_.data(), headEnd + 4), ec);
  if (ec) return std::nullopt;
  pending_.erase(0, headEnd + 4);

  HttpAnswer answer;
  answer.status = parser.get().result_int();
  for (const auto& field : parser.get()) {
    std::string name(field.name_string());
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    answer.headers[name] = std::string(field.value());
  }
  answer.keepAlive = parser.get().keep_alive();
  const bool bodyless = toHead || answer.status < 200 || answer.status == 304;
  const uint64_t length = bodyless ? 0 : parser.content_length().value_or(0);

  answer.bodyMatches = expected && expected->size() == length;
  std::string chunk(256 * 1024, '\0');
  for (uint64_t received = 0; received < length;) {
    if (pending_.empty()) {
      const ssize_t got = receive(chunk.data(), chunk.size(), deadline);
      if (got <= 0) return std::nullopt;
      pending_.assign(chunk.data(), static_cast<size_t>(got));
    }
    const auto take = static_cast<size_t>(std::min<uint64_t>(pending_.size(), length - received));
    const std::string_view part(pending_.data(), take);
    if (expected) {
      answer.bodyMatches = answer.bodyMatches && part == expected->substr(received, take);
    } else {
      answer.body.append(part);
    }
    pending_.erase(0, take);
    received += take;
  }
  return answer;
}

std::optional<HttpAnswer> TestClient::request(std::string_view bytes, bool toHead) {
  if (!send(bytes)) return std::nullopt;
  return read(toHead);
}

bool TestClient::waitClosed(std::chrono::milliseconds timeout, size_t* drained) {
  const auto deadline = Clock::now() + timeout;
  size_t total = pending_.size();
  pending_.clear();
  std::string chunk(64 * 1024, '\0');
  ssize_t got;
  while ((got = receive(chunk.data(), chunk.size(), deadline)) > 0) {
    total += static_cast<size_t>(got);
  }
  if (drained) *drained = total;
  return got == 0;
}
