#include "platform/executable_path.h"

#include <filesystem>
#include <system_error>

std::string getExecutableFolder() {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return path.parent_path().string();
}
