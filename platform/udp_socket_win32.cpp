#include <winsock2.h>
#include <ws2tcpip.h>
// mswsock.h needs the two above first.
#include <mswsock.h>

#include "platform/udp_socket.h"

namespace {

bool toAddress(const std::string& text, uint16_t port, sockaddr_in& out) {
  out = {};
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  return inet_pton(AF_INET, text.c_str(), &out.sin_addr) == 1;
}

SOCKET handleOf(UdpSocket socket) {
  return static_cast<SOCKET>(socket);
}

}  // namespace

bool startUdpSockets() {
  WSADATA data{};
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void stopUdpSockets() {
  WSACleanup();
}

int lastSocketError() {
  return WSAGetLastError();
}

UdpSocket openUdpSocket() {
  const SOCKET socket =
      WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (socket == INVALID_SOCKET) return kNoUdpSocket;
  // Without this, an ICMP "port unreachable" for an earlier probe makes the next receive fail
  // with WSAECONNRESET, and one silent address would close the socket for every display.
  BOOL report = FALSE;
  DWORD returned = 0;
  WSAIoctl(socket, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr,
           nullptr);
  // The receive loop reads only after select said so, but a datagram that vanished meanwhile
  // must not hang it.
  u_long nonBlocking = 1;
  ioctlsocket(socket, FIONBIO, &nonBlocking);
  return static_cast<UdpSocket>(socket);
}

bool bindUdpSocket(UdpSocket socket, const std::string& address, uint16_t port) {
  sockaddr_in local{};
  if (!toAddress(address, port, local)) {
    WSASetLastError(WSAEINVAL);
    return false;
  }
  return bind(handleOf(socket), reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
}

int growReceiveBuffer(UdpSocket socket, int bytes) {
  if (bytes > 0) {
    setsockopt(handleOf(socket), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
               sizeof bytes);
  }
  int granted = 0;
  int size = sizeof granted;
  getsockopt(handleOf(socket), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&granted), &size);
  return granted;
}

bool sendUdp(UdpSocket socket, const std::string& address, uint16_t port, std::string_view data) {
  sockaddr_in target{};
  if (!toAddress(address, port, target)) {
    WSASetLastError(WSAEINVAL);
    return false;
  }
  return sendto(handleOf(socket), data.data(), static_cast<int>(data.size()), 0,
                reinterpret_cast<sockaddr*>(&target), sizeof target) != SOCKET_ERROR;
}

std::optional<std::vector<size_t>> waitReadable(const std::vector<UdpSocket>& sockets,
                                                int timeoutMs) {
  // One read set holds at most FD_SETSIZE (64) sockets; further ones are left out.
  fd_set readable;
  FD_ZERO(&readable);
  for (size_t i = 0; i < sockets.size() && i < FD_SETSIZE; ++i) {
    FD_SET(handleOf(sockets[i]), &readable);
  }
  if (readable.fd_count == 0) {
    WSASetLastError(WSAEINVAL);
    return std::nullopt;
  }
  timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  if (select(0, &readable, nullptr, nullptr, &wait) == SOCKET_ERROR) return std::nullopt;
  std::vector<size_t> ready;
  for (size_t i = 0; i < sockets.size() && i < FD_SETSIZE; ++i) {
    if (FD_ISSET(handleOf(sockets[i]), &readable)) ready.push_back(i);
  }
  return ready;
}

UdpReceive receiveUdp(UdpSocket socket, std::string& buffer, size_t& length) {
  const int n = recv(handleOf(socket), buffer.data(), static_cast<int>(buffer.size()), 0);
  if (n != SOCKET_ERROR) {
    length = static_cast<size_t>(n);
    return UdpReceive::kDatagram;
  }
  switch (WSAGetLastError()) {
    case WSAEWOULDBLOCK:
    case WSAECONNRESET:
      return UdpReceive::kNothing;
    case WSAEMSGSIZE:
      // The datagram is consumed; Windows does not tell its real length.
      length = buffer.size();
      return UdpReceive::kOversized;
    default:
      return UdpReceive::kFailed;
  }
}

void closeUdpSocket(UdpSocket socket) {
  if (socket != kNoUdpSocket) closesocket(handleOf(socket));
}
