#include "unit/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "app/app_context.h"
#include "app/config.h"

namespace fs = std::filesystem;

TempAppFolder::TempAppFolder() {
  std::string pattern = (fs::temp_directory_path() / "quillora-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  for (const char* folder : {"web/conf", "web/media", "web/firmware", "web/lang/en"}) {
    fs::create_directories(file(folder));
  }
  write("config.yaml", kTestConfig);
}

TempAppFolder::~TempAppFolder() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void TempAppFolder::write(const std::string& relative, const std::string& content) const {
  fs::create_directories(fs::path(file(relative)).parent_path());
  std::ofstream(file(relative), std::ios::binary | std::ios::trunc) << content;
}

void TempAppFolder::write(std::initializer_list<std::string> files) const {
  for (auto it = files.begin(); it != files.end(); it += 2) write(*it, it[1]);
}

std::string TempAppFolder::read(const std::string& relative) const {
  std::stringstream buffer;
  buffer << std::ifstream(file(relative), std::ios::binary).rdbuf();
  return buffer.str();
}

bool TempAppFolder::exists(const std::string& relative) const {
  std::error_code ec;
  return fs::exists(file(relative), ec);
}

std::unique_ptr<AppContext> makeContext(const TempAppFolder& folder) {
  std::string error;
  auto config = loadConfig(folder.path(), error);
  if (!config) ADD_FAILURE() << folder.file("config.yaml") << ": " << error;
  return config ? std::make_unique<AppContext>(folder.path(), std::move(*config)) : nullptr;
}
