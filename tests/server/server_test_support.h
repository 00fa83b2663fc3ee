#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

using namespace std::chrono_literals;

// A fresh folder under /tmp, removed with everything in it when the object goes.
class TempTree {
 public:
  TempTree();
  ~TempTree();
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& relative) const { return path_ + "/" + relative; }
  // Creates the folders on the way.
  void write(const std::string& relative, const std::string& content) const;
  void mkdir(const std::string& relative) const;
  void symlink(const std::string& target, const std::string& relative) const;

 private:
  std::string path_;
};

// Deterministic bytes that differ at every offset, so a misplaced block shows.
std::string patternBytes(size_t size, uint32_t seed = 1);

std::string getRequest(std::string_view target, std::string_view extraHeaders = {},
                       std::string_view method = "GET");

struct HttpAnswer {
  unsigned status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  bool keepAlive = false;
  bool bodyMatches = false;  // when read against an expected body

  std::string header(const std::string& lowerName) const {
    const auto it = headers.find(lowerName);
    return it == headers.end() ? std::string() : it->second;
  }
};

// A blocking HTTP client on raw sockets whose every wait has a deadline, so a server fault
// fails a test instead of hanging it.
class TestClient {
 public:
  // `receiveBuffer` > 0 shrinks SO_RCVBUF before connecting (a slow reader's window); `from`
  // is the IPv4 source address (another 127.x.y.z stands for another machine).
  explicit TestClient(uint16_t port, int receiveBuffer = 0, const char* address = "127.0.0.1",
                      const char* from = nullptr);
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  uint16_t localPort() const;
  bool send(std::string_view bytes);
  // Up to `count` bytes; empty at the end of the stream, on error or at the deadline.
  std::string readSome(size_t count, std::chrono::milliseconds timeout);
  // One answer framed by its Content-Length; nullopt when the connection ends or the deadline
  // passes first. With `expected` the body is compared as it arrives instead of being kept.
  std::optional<HttpAnswer> read(bool toHead = false, std::chrono::milliseconds timeout = 10s,
                                 std::optional<std::string_view> expected = std::nullopt);
  std::optional<HttpAnswer> request(std::string_view bytes, bool toHead = false);
  // True when the server ends the connection before the deadline; what still arrives (the
  // rest of an answer) is counted in `drained`.
  bool waitClosed(std::chrono::milliseconds timeout, size_t* drained = nullptr);

 private:
  // > 0 bytes read, 0 when the connection ended (closed or reset), -1 at the deadline.
  ssize_t receive(char* into, size_t count, std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
  std::string pending_;
};
