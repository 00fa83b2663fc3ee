#include <winsock2.h>

#include <algorithm>
#include <vector>

#include "platform/stream_send.h"

namespace {

SOCKET handleOf(std::intptr_t socket) {
  return static_cast<SOCKET>(socket);
}

SendResult failure() {
  SendResult result;
  result.sent = -1;
  result.wouldBlock = WSAGetLastError() == WSAEWOULDBLOCK;
  return result;
}

// Bytes read from the file for one send: what a socket buffer takes in one go.
constexpr size_t kFilePiece = 256 * 1024;

}  // namespace

SendResult sendBuffers(std::intptr_t socket, std::string_view first, std::string_view second,
                       bool) {
  WSABUF parts[2];
  DWORD count = 0;
  for (std::string_view part : {first, second}) {
    if (part.empty()) continue;
    parts[count].buf = const_cast<char*>(part.data());
    parts[count].len = static_cast<ULONG>(std::min<size_t>(part.size(), 1u << 30));
    ++count;
  }
  DWORD sent = 0;
  if (WSASend(handleOf(socket), parts, count, &sent, 0, nullptr, nullptr) == SOCKET_ERROR) {
    return failure();
  }
  SendResult result;
  result.sent = sent;
  return result;
}

SendResult sendFileRange(std::intptr_t socket, const ReadOnlyFile& file, uint64_t offset,
                         size_t count) {
  // Windows has no non-blocking file-to-socket call: the piece goes through a buffer of the
  // thread's, and what the socket did not take is read again next time.
  thread_local std::vector<char> buffer(kFilePiece);
  const int64_t read = file.readAt(offset, buffer.data(), std::min(count, buffer.size()));
  SendResult result;
  if (read <= 0) {
    result.sent = read;
    return result;
  }
  const int sent = send(handleOf(socket), buffer.data(), static_cast<int>(read), 0);
  if (sent == SOCKET_ERROR) return failure();
  result.sent = sent;
  return result;
}

void ignoreBrokenPipes() {}
