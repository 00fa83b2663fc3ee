#pragma once

#include <string>

// Holds the per-user single-instance lock for as long as the object lives.
class InstanceLock {
 public:
  InstanceLock() = default;
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  ~InstanceLock();

  // False when another process holds the lock (or the lock file cannot be opened).
  bool acquire(const std::string& productName);

 private:
  int fd_ = -1;
};

// $XDG_RUNTIME_DIR/<product>.lock, else /tmp/<product>-<uid>.lock.
std::string instanceLockPath(const std::string& productName);
