#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/udp_socket.h"

// Called on the receive thread with each answer.
using DiscoveryHandler = std::function<void(std::string reply)>;

// Where probes go: the displays' multicast group, unless a test points it elsewhere.
struct ProbeTarget {
  std::string address = "239.255.255.250";
  uint16_t port = 3704;
};

inline constexpr size_t kMaxDiscoveryReply = 40960;

// Sends the display probe from every local address and reads the answers on a thread of its
// own, handing each datagram to the handler.
class DiscoveryListener {
 public:
  explicit DiscoveryListener(uint32_t port, ProbeTarget target = {});
  ~DiscoveryListener();
  DiscoveryListener(const DiscoveryListener&) = delete;
  DiscoveryListener& operator=(const DiscoveryListener&) = delete;

  // Binds one UDP socket per address at the port; returns how many were bound, -1 when the
  // system's socket library could not be started.
  int open(std::vector<std::string> addresses);
  // Sends one probe per socket; answers go to `handler` until close. Ignored without a
  // handler.
  void search(DiscoveryHandler handler);
  void close();

  // The receive buffer the kernel granted to the sockets (bytes; 0 before open).
  int receiveBufferSize() const { return receiveBuffer_; }
  // Wanted receive buffer per socket; 0 keeps the system default. Set before open.
  void setWantedReceiveBuffer(int bytes) { wantedReceiveBuffer_ = bytes; }

 private:
  void receiveLoop();
  void closeAfterError(UdpSocket socket);
  // Only the receive thread (between its polls) and close (after joining it) call this.
  void closeFailed();
  std::vector<UdpSocket> validSockets();

  uint32_t port_;
  ProbeTarget target_;
  int wantedReceiveBuffer_ = 8 << 20;
  int receiveBuffer_ = 0;
  std::mutex socketsMutex_;
  std::vector<UdpSocket> sockets_;  // kNoUdpSocket once closed after an error
  std::vector<UdpSocket> failed_;   // taken out of sockets_ by search, still open
  bool socketsStarted_ = false;
  std::thread receiver_;
  std::atomic<bool> stopped_{true};
  std::atomic<bool> receiving_{false};
  std::mutex handlerMutex_;
  DiscoveryHandler handler_;
};

// The DeviceRecord of an answer as a JSON object; nothing when it is not XML.
std::optional<nlohmann::json> readDeviceRecord(const std::string& reply);

// The record of an answer; null when the root has no children, nothing when not XML.
bool parseDeviceRecord(const std::string& reply, std::string& recordJson);
