#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/udp_socket.h"

namespace {

bool toAddress(const std::string& text, uint16_t port, sockaddr_in& out) {
  out = {};
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  return inet_pton(AF_INET, text.c_str(), &out.sin_addr) == 1;
}

int fdOf(UdpSocket socket) {
  return static_cast<int>(socket);
}

}  // namespace

bool startUdpSockets() {
  return true;
}

void stopUdpSockets() {}

int lastSocketError() {
  return errno;
}

UdpSocket openUdpSocket() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  return fd < 0 ? kNoUdpSocket : fd;
}

bool bindUdpSocket(UdpSocket socket, const std::string& address, uint16_t port) {
  sockaddr_in local{};
  if (!toAddress(address, port, local)) {
    errno = EINVAL;
    return false;
  }
  return ::bind(fdOf(socket), reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
}

int growReceiveBuffer(UdpSocket socket, int bytes) {
  const int fd = fdOf(socket);
  if (bytes > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  int granted = 0;
  socklen_t size = sizeof granted;
  getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &size);
  if (bytes > 0 && granted < bytes) {
    // Privileged processes may go past the system's cap.
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes);
    size = sizeof granted;
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &size);
  }
  return granted;
}

bool sendUdp(UdpSocket socket, const std::string& address, uint16_t port, std::string_view data) {
  sockaddr_in target{};
  if (!toAddress(address, port, target)) {
    errno = EINVAL;
    return false;
  }
  return ::sendto(fdOf(socket), data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&target),
                  sizeof target) >= 0;
}

std::optional<std::vector<size_t>> waitReadable(const std::vector<UdpSocket>& sockets,
                                                int timeoutMs) {
  std::vector<pollfd> watched;
  for (UdpSocket socket : sockets) watched.push_back({fdOf(socket), POLLIN, 0});
  if (watched.empty()) {
    errno = EINVAL;
    return std::nullopt;
  }
  int ready;
  do {
    ready = poll(watched.data(), watched.size(), timeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return std::nullopt;
  std::vector<size_t> readable;
  for (size_t i = 0; i < watched.size(); ++i) {
    if (watched[i].revents & (POLLIN | POLLERR)) readable.push_back(i);
  }
  return readable;
}

UdpReceive receiveUdp(UdpSocket socket, std::string& buffer, size_t& length) {
  // MSG_TRUNC reports the real length, so an oversized datagram is dropped and its socket
  // keeps serving the answers behind it.
  const ssize_t n = recv(fdOf(socket), buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT);
  if (n < 0) {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? UdpReceive::kNothing
                                                                     : UdpReceive::kFailed;
  }
  length = static_cast<size_t>(n);
  return length > buffer.size() ? UdpReceive::kOversized : UdpReceive::kDatagram;
}

void closeUdpSocket(UdpSocket socket) {
  if (socket != kNoUdpSocket) ::close(fdOf(socket));
}
