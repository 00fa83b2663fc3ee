#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "media_samples.h"

// Starts from an unloaded library, so the threads also race to load it.
TEST(MediaProbeThreads, ConcurrentProbesAgreeWithSingleOnes) {
  const char* cases[][2] = {{"h264_aac.mp4", ""},
                            {"hevc_hev1.mp4", "hev1"},
                            {"h264_mp3.mkv", " mp3"},
                            {"Grüße 映像.mp4", ""}};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        if (t == 0) setMediaInfoLibraryName("libmediainfo.so.0");
        if (probeSample(cases[(i + t) % 4][0]) != cases[(i + t) % 4][1]) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}
