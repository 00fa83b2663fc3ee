#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>

std::string instanceLockPath(const std::string& productName) {
  const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
  if (runtimeDir && *runtimeDir) return std::string(runtimeDir) + "/" + productName + ".lock";
  return "/tmp/" + productName + "-" + std::to_string(getuid()) + ".lock";
}

bool InstanceLock::acquire(const std::string& productName) {
  if (handle_ >= 0) return true;
  int fd = open(instanceLockPath(productName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    char text[256];
    const ssize_t got = pread(fd, text, sizeof text, 0);
    if (got > 0) holder_.assign(text, static_cast<size_t>(got));
    close(fd);
    return false;
  }
  handle_ = fd;
  const std::string held =
      (role_.empty() ? "a Quillora program" : role_) + ", process " + std::to_string(getpid());
  // Only a courtesy to the next instance: the lock holds whether or not it is written.
  if (ftruncate(fd, 0) == 0) (void)!pwrite(fd, held.data(), held.size(), 0);
  return true;
}

InstanceLock::~InstanceLock() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}
