#include "unit/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "app/app_context.h"
#include "app/config.h"
#include "platform/file_system.h"

namespace fs = std::filesystem;

TempAppFolder::TempAppFolder() {
  std::random_device seed;
  std::mt19937_64 random(seed());
  std::error_code ec;
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    const fs::path candidate =
        fs::temp_directory_path() / ("quillora-test-" + std::to_string(random() % 1000000000));
    if (fs::create_directory(candidate, ec)) path_ = utf8FromPath(candidate);
  }
  if (path_.empty()) throw std::runtime_error("no temporary folder");
  // One separator throughout, as the program builds its own paths.
  std::replace(path_.begin(), path_.end(), '\\', '/');
  for (const char* folder : {"web/conf", "web/media", "web/firmware", "web/lang/en"}) {
    fs::create_directories(pathFromUtf8(file(folder)));
  }
  write("config.yaml", kTestConfig);
}

TempAppFolder::~TempAppFolder() {
  std::error_code ec;
  fs::remove_all(pathFromUtf8(path_), ec);
}

void TempAppFolder::write(const std::string& relative, const std::string& content) const {
  const fs::path path = pathFromUtf8(file(relative));
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

void TempAppFolder::write(std::initializer_list<std::string> files) const {
  for (auto it = files.begin(); it != files.end(); it += 2) write(*it, it[1]);
}

std::string TempAppFolder::read(const std::string& relative) const {
  std::stringstream buffer;
  buffer << std::ifstream(pathFromUtf8(file(relative)), std::ios::binary).rdbuf();
  return buffer.str();
}

bool TempAppFolder::exists(const std::string& relative) const {
  std::error_code ec;
  return fs::exists(pathFromUtf8(file(relative)), ec);
}

std::unique_ptr<AppContext> makeContext(const TempAppFolder& folder) {
  auto config = loadConfig(folder.path());
  if (!config) ADD_FAILURE() << config.error();
  return config ? std::make_unique<AppContext>(folder.path(), std::move(*config)) : nullptr;
}

PageMessages::PageMessages(AppContext& context) {
  context.page.connect([this](std::string text) {
    std::lock_guard lock(mutex_);
    messages_.push_back(std::move(text));
    changed_.notify_all();
  });
}

std::vector<std::string> PageMessages::await(size_t count, std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, limit, [&] { return messages_.size() >= count; });
  return messages_;
}

std::vector<std::string> PageMessages::take() {
  std::lock_guard lock(mutex_);
  return std::exchange(messages_, {});
}
