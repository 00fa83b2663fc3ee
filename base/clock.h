#pragma once

#include <chrono>
#include <cstdint>

// Milliseconds since the epoch: what every record of the host is stamped with.
inline int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}
