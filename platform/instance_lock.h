#pragma once

#include <cstdint>
#include <string>

// Holds the per-user single-instance lock for as long as the object lives.
class InstanceLock {
 public:
  InstanceLock() = default;
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  ~InstanceLock();

  // False when another process holds the lock (or the lock cannot be made).
  bool acquire(const std::string& productName);

 private:
  std::intptr_t handle_ = -1;
};

// POSIX: $XDG_RUNTIME_DIR/<product>.lock, else /tmp/<product>-<uid>.lock. Windows: the name of
// the mutex in the session's namespace.
std::string instanceLockPath(const std::string& productName);
