#include "app/diag_log.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

std::mutex logMutex;
FILE* logSink = nullptr;

}  // namespace

void initDiagLog() {
  std::lock_guard lock(logMutex);
  if (logSink) return;
  const char* target = std::getenv("QUILLORA_LOG");
  if (!target || !*target) return;
  if (std::strcmp(target, "stderr") == 0) {
    logSink = stderr;
  } else {
    logSink = std::fopen(target, "a");
  }
}

void diagLog(std::string_view line) {
  std::lock_guard lock(logMutex);
  if (!logSink) return;
  using namespace std::chrono;
  auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  std::fprintf(logSink, "[%lld.%03lld] %.*s\n", static_cast<long long>(ms / 1000),
               static_cast<long long>(ms % 1000), static_cast<int>(line.size()), line.data());
  std::fflush(logSink);
}
