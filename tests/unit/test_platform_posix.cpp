#include <sys/stat.h>

#include <cstdlib>

#include "unit/test_platform.h"

bool makeFifo(const std::string& path) {
  return mkfifo(path.c_str(), 0600) == 0;
}

const char* const kEndlessDevice = "/dev/zero";

const bool kNamesAreBytes = true;
const bool kModeBits = true;

void setEnvironment(const std::string& name, const std::string& value) {
  setenv(name.c_str(), value.c_str(), 1);
}

bool setFileMode(const std::string& path, int mode) {
  return chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}
