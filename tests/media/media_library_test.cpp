#include <gtest/gtest.h>

#include "media_samples.h"

// The loaded library is process-wide, so the whole story runs as one test in its own process.
TEST(MediaInfoLibrary, LoadIsRetriedAtEveryProbeUntilItSucceeds) {
  const char* missing = "libmediainfo-missing.so.0";
  const char* unable = "Unable to load MediaInfo.dll";
  const char* steps[][3] = {{missing, "h264_aac.mp4", unable},
                            {missing, "text.mp4", unable},
                            {missing, "image.png", ""},
                            {missing, "mpeg4.avi", ".avi"},
                            {QUILLORA_PARTIAL_MEDIAINFO, "h264_aac.mp4", unable},
                            {"libmediainfo.so.0", "hevc_hev1.mp4", "hev1"},
                            {missing, "h264_mp3.mp4", " mp3"}};
  for (const auto& [library, file, expected] : steps) {
    setMediaInfoLibraryName(library);
    EXPECT_EQ(probeSample(file), expected) << library << " " << file;
  }
}
