#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <csignal>

#include "platform/stream_send.h"

namespace {

SendResult resultOf(ssize_t sent) {
  SendResult result;
  result.sent = sent;
  result.wouldBlock = sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  return result;
}

}  // namespace

SendResult sendBuffers(std::intptr_t socket, std::string_view first, std::string_view second,
                       bool more) {
  iovec parts[2];
  int count = 0;
  for (std::string_view part : {first, second}) {
    if (!part.empty()) parts[count++] = {const_cast<char*>(part.data()), part.size()};
  }
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = static_cast<size_t>(count);
  ssize_t sent;
  do {
    // MSG_MORE lets a header leave in the same segment as the file's first bytes.
    sent = ::sendmsg(static_cast<int>(socket), &message, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
  } while (sent < 0 && errno == EINTR);
  return resultOf(sent);
}

SendResult sendFileRange(std::intptr_t socket, const ReadOnlyFile& file, uint64_t offset,
                         size_t count) {
  auto position = static_cast<off_t>(offset);
  ssize_t sent;
  do {
    sent = ::sendfile(static_cast<int>(socket), static_cast<int>(file.nativeHandle()), &position,
                      count);
  } while (sent < 0 && errno == EINTR);
  return resultOf(sent);
}

void ignoreBrokenPipes() {
  // sendfile has no MSG_NOSIGNAL.
  struct sigaction current {};
  if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
    std::signal(SIGPIPE, SIG_IGN);
  }
}
