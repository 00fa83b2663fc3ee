#include <windows.h>

#include "platform/instance_lock.h"

std::string instanceLockPath(const std::string& productName) {
  // No "Global\" prefix: one instance per logged-on user's session.
  return productName;
}

bool InstanceLock::acquire(const std::string& productName) {
  if (handle_ != -1) return true;
  HANDLE mutex = CreateMutexA(nullptr, FALSE, instanceLockPath(productName).c_str());
  if (!mutex) return false;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(mutex);
  return true;
}

InstanceLock::~InstanceLock() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}
