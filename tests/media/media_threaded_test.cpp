#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "media/media_probe.h"
#include "media_samples.h"

namespace {

// Starts from an unloaded library, so the threads also race to load it.
TEST(MediaProbeThreads, ConcurrentProbesAgreeWithSingleOnes) {
  const ProbeCase cases[] = {{"accepted", "h264_aac.mp4", ""},
                             {"refused codec", "hevc_hev1.mp4", "hev1"},
                             {"mp3 audio", "h264_mp3.mkv", " mp3"},
                             {"non-ASCII path", "Grüße 映像.mp4", ""}};
  constexpr int kThreads = 4;
  constexpr int kRounds = 5;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds * 4; ++i) {
        if (t == 0) setMediaInfoLibraryName("libmediainfo.so.0");
        const ProbeCase& c = cases[(i + t) % 4];
        if (probeSample(c) != c.expected) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
