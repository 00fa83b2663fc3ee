#pragma once

#include <cstdint>
#include <string_view>

#include "platform/file_system.h"

// Sends on a connected non-blocking stream socket, given by its native handle: the HTTP server
// feeds slow readers without a copy of the file in memory.
struct SendResult {
  int64_t sent = 0;         // bytes taken by the system; 0 from sendFileRange: the file ended
  bool wouldBlock = false;  // nothing taken now; wait for writability
  bool failed() const { return sent < 0 && !wouldBlock; }
};

// Both pieces in one call; `more` tells the system that further data follows at once.
SendResult sendBuffers(std::intptr_t socket, std::string_view first, std::string_view second,
                       bool more);
// Up to `count` bytes of `file` from `offset`.
SendResult sendFileRange(std::intptr_t socket, const ReadOnlyFile& file, uint64_t offset,
                         size_t count);

// A peer that goes away mid-write must not end the process (SIGPIPE on POSIX). A handler the
// program installed is left alone.
void ignoreBrokenPipes();
