#include "media/media_probe.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "media/file_utils.h"
#include "media_samples.h"

namespace {

// Samples under their own extension, or under another one: an MPEG-4 Part 2 clip tells the
// video way (its codec is refused) from the image way (its content is not an image).
TEST(Probe, SamplesAndExtensions) {
  const struct {
    const char* file;
    const char* extension;  // null: the file's own
    const char* expected;
  } cases[] = {
      // clang-format off
      {"h264_aac.mp4", nullptr, ""}, {"h264_mp3.mp4", nullptr, " mp3"},
      {"hevc_hvc1.mp4", nullptr, ""}, {"hevc_hev1.mp4", nullptr, "hev1"},
      {"hevc_hev1_mp3.mp4", nullptr, "hev1 mp3"}, {"hevc.mkv", nullptr, ""},
      {"h264_aac.mkv", nullptr, ""}, {"h264_mp3.mkv", nullptr, " mp3"},
      {"h264_aac.mov", nullptr, ""}, {"mpeg4.mp4", nullptr, "mp4v-20"},
      {"mpeg4.avi", nullptr, ".avi"}, {"h264_aac_upper.MP4", nullptr, ""},
      {"h264_aac_mixed.mP4", nullptr, ".mP4"}, {"Grüße 映像.mp4", nullptr, ""},
      {"image.png", nullptr, ""}, {"image.jpg", nullptr, ""}, {"image.gif", nullptr, ""},
      {"image.bmp", nullptr, ""}, {"image.webp", nullptr, ""},
      {"sound_16k_mono_s16.wav", nullptr, ".wav"}, {"text.mp4", nullptr, "no video"},
      {"empty.mp4", nullptr, "no video"}, {"missing.mp4", nullptr, "no video"},
      {"missing.png", nullptr, ".png"}, {"mpeg4.mp4", ".Mov", "mp4v-20"},
      {"mpeg4.mp4", ".MKV", "mp4v-20"}, {"mpeg4.mp4", "", "mp4v-20"}, {"mpeg4.mp4", ".", "."},
      {"mpeg4.mp4", ".mp4.mov", ".mp4.mov"}, {"mpeg4.mp4", ".Png", ".Png"},
      {"mpeg4.mp4", ".mpeg", ".mpeg"}, {"image.jpg", ".jp", ".jp"}, {"image.jpg", ".JPEG", ""},
      {"image.png", ".pnG", ".pnG"}
      // clang-format on
  };
  for (const auto& c : cases) {
    const std::string extension = c.extension ? c.extension : extensionOf(c.file);
    EXPECT_EQ(probeMedia(sampleFile(c.file), extension), c.expected) << c.file << " " << extension;
  }
  EXPECT_EQ(probeMedia(sampleFile("h264_aac.mp4") + std::string(1, '\0') + ".txt", ".mp4"),
            "no video")
      << "a NUL cuts no path short";
}

// Whole images pass; the same bytes cut short, or under a name of another type, do not. A name
// that is not UTF-8 is probed like any other.
TEST(Probe, ImagesMustBeWholeFilesOfTheirType) {
  char folder[] = "/tmp/quillora-probe-XXXXXX";
  ASSERT_TRUE(mkdtemp(folder));
  auto copy = [&](const std::string& sample, const std::string& name, size_t cut) {
    std::string bytes = readFileText(sampleFile(sample));
    std::ofstream(std::string(folder) + "/" + name, std::ios::binary)
        << bytes.substr(0, bytes.size() - std::min(cut, bytes.size()));
    return probeMedia(std::string(folder) + "/" + name, extensionOf(name));
  };
  for (const char* image : {"image.png", "image.jpg", "image.gif", "image.webp", "image.bmp"}) {
    const std::string extension = extensionOf(image);
    const size_t size = readFileText(sampleFile(image)).size();
    EXPECT_EQ(copy(image, std::string("whole\xff") + extension, 0), "") << image;
    for (size_t cut : {size_t{2}, size / 2, size}) {
      EXPECT_EQ(copy(image, "cut" + extension, cut), extension) << image << " less " << cut;
    }
    EXPECT_EQ(copy("image.gif", "other" + extension, 0), extension == ".gif" ? "" : extension);
  }
  EXPECT_EQ(copy("h264_aac.mp4", "clip\xff.mp4", 0), "");
  std::filesystem::remove_all(folder);
}

// The picture and sound header checks of media intake against what a real encoder writes.
TEST(Probe, HeaderChecksTakeRealEncoderOutput) {
  EXPECT_TRUE(isPngFile(sampleFile("image.png")));
  EXPECT_FALSE(isPngFile(sampleFile("image.webp")));
  EXPECT_TRUE(isWavFile(sampleFile("sound_16k_mono_s16.wav")));
  for (const char* file :
       {"sound_44k_mono_s16.wav", "sound_16k_stereo_s16.wav", "sound_16k_mono_u8.wav"}) {
    EXPECT_FALSE(isWavFile(sampleFile(file))) << file;
  }
}

}  // namespace
