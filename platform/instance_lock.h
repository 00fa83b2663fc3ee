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
  // What this process is ("quillora-cli --serve"), kept with the lock for the next one to tell.
  void setRole(std::string role) { role_ = std::move(role); }
  // Who holds the lock after acquire() failed: its role and process; empty when unknown.
  const std::string& holder() const { return holder_; }

 private:
  std::intptr_t handle_ = -1;
  std::string role_;
  std::string holder_;
};

// POSIX: $XDG_RUNTIME_DIR/<product>.lock, else /tmp/<product>-<uid>.lock. Windows: the name of
// the mutex in the session's namespace.
std::string instanceLockPath(const std::string& productName);
