// Fills a store in a temporary folder with 10,000 runs of 10 displays each, through the calls
// the deploy path makes (beginRun, then a step with a state per display, then endRun), and
// prints how long the runs, the steps and a full history read take.

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "store/store.h"

namespace {

constexpr int kRuns = 10000;
constexpr int kDisplays = 10;

double millisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

int main() {
  namespace fs = std::filesystem;
  fs::path folder = fs::temp_directory_path() / ("quillora-bench-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  int status = 1;
  {
    auto opened = Store::open(folder.string());
    if (!opened) {
      std::fprintf(stderr, "%s\n", opened.error().c_str());
    } else {
      Store& store = **opened;
      RunStart start;
      start.kind = "playlist";
      start.playlist = "lobby.json";
      start.group = "hall";
      start.files = {{"clip.mp4", 123456789, std::string(64, 'a')}};
      for (int d = 0; d < kDisplays; ++d)
        start.ips.push_back("10.0.0." + std::to_string(d + 1) + ":80");
      // Runs first (each waited for, as the deploy path does), then every step queued at once.
      auto begin = std::chrono::steady_clock::now();
      std::vector<int64_t> ids;
      for (int r = 0; r < kRuns; ++r) {
        start.startedMs = 1'700'000'000'000 + r * 1000;
        ids.push_back(store.beginRun(start).value_or(0));
      }
      double begun = millisecondsSince(begin);
      auto fill = std::chrono::steady_clock::now();
      for (int r = 0; r < kRuns; ++r) {
        int64_t started = 1'700'000'000'000 + r * 1000;
        for (const auto& ip : start.ips) {
          store.recordStep({ids[r],
                            ip,
                            started + 500,
                            "playlist",
                            "finish",
                            {{"FileName", "clip.mp4"}},
                            "delivered"});
        }
        store.endRun(ids[r], started + 900);
      }
      store.flush();
      double filled = millisecondsSince(fill);
      // The best of a few reads: the machine may be busy with something else.
      nlohmann::json runs;
      double got = 1e9;
      double cpu = 1e9;
      for (int i = 0; i < 5; ++i) {
        runs = nlohmann::json();
        auto read = std::chrono::steady_clock::now();
        std::clock_t readCpu = std::clock();
        runs = store.history(kRuns, "", "");
        got = std::min(got, millisecondsSince(read));
        cpu = std::min(cpu, (std::clock() - readCpu) * 1000.0 / CLOCKS_PER_SEC);
      }
      std::printf("beginRun: %d runs of %d displays in %.0f ms\n", kRuns, kDisplays, begun);
      std::printf("recordStep: %d steps with a state in %.0f ms (%.0f a second)\n",
                  kRuns * kDisplays, filled, kRuns * kDisplays / filled * 1000);
      std::printf("history(%d): %zu runs in %.1f ms (%.1f ms of processor time)\n", kRuns,
                  runs.size(), got, cpu);
      status = runs.size() == kRuns ? 0 : 1;
    }
  }
  fs::remove_all(folder);
  return status;
}
