#include <gtest/gtest.h>

#include "media/media_probe.h"
#include "media_samples.h"

namespace {

// The loaded library is process-wide, so the whole story runs as one test in its own process.
TEST(MediaInfoLibrary, LoadIsRetriedAtEveryProbeUntilItSucceeds) {
  constexpr const char* kMissing = "libmediainfo-missing.so.0";
  struct Step {
    const char* library;
    ProbeCase probe;
  };
  const Step steps[] = {
      {kMissing, {"video refused", "h264_aac.mp4", "Unable to load MediaInfo.dll"}},
      {kMissing, {"text file refused", "text.mp4", "Unable to load MediaInfo.dll"}},
      {kMissing, {"image accepted unseen", "image.png", ""}},
      {kMissing, {"unknown extension", "mpeg4.avi", ".avi"}},
      {QUILLORA_PARTIAL_MEDIAINFO,
       {"incomplete library", "h264_aac.mp4", "Unable to load MediaInfo.dll"}},
      {"libmediainfo.so.0", {"loaded at last", "hevc_hev1.mp4", "hev1"}},
      {kMissing, {"stays loaded", "h264_mp3.mp4", " mp3"}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.probe.label);
    setMediaInfoLibraryName(step.library);
    EXPECT_EQ(probeSample(step.probe), step.probe.expected);
  }
}

}  // namespace
