#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// IPv4 UDP sockets for discovery. A socket is a plain integer so that lists of them stay
// simple; kNoUdpSocket marks an entry that was closed.
using UdpSocket = std::int64_t;
inline constexpr UdpSocket kNoUdpSocket = -1;

// Starts the system's socket library (Windows Sockets 2.2; nothing to do on POSIX). Every
// successful start is matched by one stop.
bool startUdpSockets();
void stopUdpSockets();

// The error code of the calling thread's last failed socket call (errno, WSAGetLastError).
int lastSocketError();

UdpSocket openUdpSocket();
// Binds to a dotted IPv4 address; an address that does not parse fails as an invalid argument.
bool bindUdpSocket(UdpSocket socket, const std::string& address, uint16_t port);
// Asks for a receive buffer of `bytes` (past the system's cap where the process may) and
// returns the size granted; with `bytes` 0 or less it asks for nothing and returns the size
// the socket has.
int growReceiveBuffer(UdpSocket socket, int bytes);
bool sendUdp(UdpSocket socket, const std::string& address, uint16_t port, std::string_view data);

// Waits up to `timeoutMs` for datagrams: the positions in `sockets` of those that have one (or
// a pending error), empty after the time-out; nothing when the wait itself failed.
std::optional<std::vector<size_t>> waitReadable(const std::vector<UdpSocket>& sockets,
                                                int timeoutMs);

enum class UdpReceive { kDatagram, kNothing, kOversized, kFailed };
// Reads one datagram into `buffer` without blocking; `length` is its size. A datagram longer
// than the buffer is consumed and reported as kOversized; the socket stays usable.
UdpReceive receiveUdp(UdpSocket socket, std::string& buffer, size_t& length);
void closeUdpSocket(UdpSocket socket);
