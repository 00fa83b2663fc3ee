#include "base/log.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>

namespace {

// Held while a line is written, so that lines of different threads never mix.
std::mutex logMutex;
LogSink logSink;

// Past `at` (just after a key's closing quote): optional blanks, a colon, optional blanks.
size_t afterColon(std::string_view text, size_t at) {
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  if (at >= text.size() || text[at] != ':') return std::string_view::npos;
  ++at;
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  return at;
}

}  // namespace

std::string maskCredentials(std::string_view line) {
  static constexpr std::string_view kKey = "\"pass\"";
  std::string masked;
  size_t copied = 0;
  size_t key = line.find(kKey);
  while (key != std::string_view::npos) {
    size_t value = afterColon(line, key + kKey.size());
    size_t next = key + kKey.size();
    if (value < line.size() && line[value] == '"') {
      size_t end = value + 1;
      while (end < line.size() && line[end] != '"') end += line[end] == '\\' ? 2 : 1;
      masked.append(line.substr(copied, value + 1 - copied)).append("***");
      copied = next = std::min(end, line.size());
    }
    key = line.find(kKey, next);
  }
  masked.append(line.substr(copied));
  return masked;
}

void setLogSink(LogSink sink) {
  std::lock_guard lock(logMutex);
  logSink = std::move(sink);
}

void logLine(LogLevel level, std::string_view line) {
  const std::string masked = maskCredentials(line);
  std::lock_guard lock(logMutex);
  if (logSink) logSink(level, masked);
}

void initDiagLog() {
  FILE* file = nullptr;
  const char* target = std::getenv("QUILLORA_LOG");
  if (target && std::strcmp(target, "stderr") == 0) {
    file = stderr;
  } else if (target && *target) {
    file = std::fopen(target, "a");
    // Page requests name displays and operators: the file is its owner's alone, also when an
    // earlier run left it readable by others.
    std::error_code ec;
    if (file) {
      std::filesystem::permissions(
          target, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, ec);
    }
  }
  setLogSink([file](LogLevel level, const std::string& line) {
    if (level != LogLevel::debug) {
      std::fprintf(stderr, "quillora: %s\n", line.c_str());
      std::fflush(stderr);
    }
    if (!file) return;
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    std::fprintf(file, "[%lld.%03lld] %s\n", static_cast<long long>(ms / 1000),
                 static_cast<long long>(ms % 1000), line.c_str());
    std::fflush(file);
  });
}
