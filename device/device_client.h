#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// What a device connection reports: every answer, and its error and its end. A response
// returns the bytes to write next on the same connection ("OK", "ERROR" or "" write nothing).
inline constexpr int kStatusConnectionError = 999;
// The error of a connection that never opened: no request reached the display.
inline constexpr int kStatusConnectFailed = 998;
inline constexpr int kStatusConnectionClosed = 1000;
using DeviceEventSink =
    std::function<std::string(const std::string& body, const std::string& peer, int status)>;

struct DeviceTimeouts {
  std::chrono::milliseconds connect{10000};
  // Counted from the end of each request; a request that makes no progress this long is cut too.
  std::chrono::milliseconds answer{30000};
};

// "a.b.c.d:port" (or "[v6]:port") of an endpoint.
std::string endpointText(const boost::asio::ip::tcp::endpoint& endpoint);

// The endpoint of a display address "a.b.c.d[:port]" (port 80 when none); nothing when the
// text is not a numeric address.
std::optional<boost::asio::ip::tcp::endpoint> parseDeviceAddress(const std::string& address);

// The first login step: an empty POST whose Host is the peer address text.
std::string buildLoginChallengeRequest(const std::string& peer);

// A request line prefix completed with the session id, the headers and the body.
std::string buildDeviceRequest(const std::string& prefix, const std::string& body,
                               const std::string& id, const std::string& host);

// Opens one kept-alive connection to a display, writes the first login step once connected
// and then writes whatever the sink returns for each answer. Lives on the io thread only.
class DeviceConnection : public std::enable_shared_from_this<DeviceConnection> {
 public:
  DeviceConnection(boost::asio::io_context& io, boost::asio::ip::tcp::endpoint target,
                   DeviceEventSink sink, DeviceTimeouts timeouts = {});
  ~DeviceConnection();

  void start();
  // Closes without reporting anything (shutdown).
  void abandon();

 private:
  struct State;
  void onConnected(const boost::system::error_code& ec);
  void readNext();
  void onResponse(const boost::system::error_code& ec);
  void send(std::string bytes);
  void writeNext();
  void armTimer(std::chrono::milliseconds after);
  void fail();
  void finish(bool reportError);

  std::unique_ptr<State> state_;
  std::string peer_;
  DeviceEventSink sink_;
  DeviceTimeouts timeouts_;
  int unanswered_ = 0;
  size_t written_ = 0;  // of the first queued request
  bool finished_ = false;
  bool connected_ = false;
};
