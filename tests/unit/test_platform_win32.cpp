#include <cstdlib>

#include "unit/test_platform.h"

bool makeFifo(const std::string&) {
  return false;
}

const char* const kEndlessDevice = "\\\\.\\NUL";

const bool kNamesAreBytes = false;
const bool kModeBits = false;

void setEnvironment(const std::string& name, const std::string& value) {
  _putenv_s(name.c_str(), value.c_str());
}

bool setFileMode(const std::string&, int) {
  return false;
}
