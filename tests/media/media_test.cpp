#include "media/media_probe.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "media/file_kinds.h"
#include "media/file_reading.h"
#include "media_samples.h"

namespace {

// Samples under their own extension, or under another one: an MPEG-4 Part 2 clip tells the
// video way (its codec is refused) from the image way (its content is not an image).
TEST(Probe, SamplesAndExtensions) {
  // clang-format off
  const std::pair<const char*, const char*> samples[] = {
      {"h264_aac.mp4", ""}, {"h264_mp3.mp4", " mp3"}, {"hevc_hvc1.mp4", ""}, {"hevc.mkv", ""},
      {"hevc_hev1.mp4", "hev1"}, {"hevc_hev1_mp3.mp4", "hev1 mp3"}, {"h264_aac.mkv", ""},
      {"h264_mp3.mkv", " mp3"}, {"h264_aac.mov", ""}, {"mpeg4.mp4", "mp4v-20"},
      {"mpeg4.avi", ".avi"}, {"h264_aac_upper.MP4", ""}, {"h264_aac_mixed.mP4", ".mP4"},
      {"Grüße 映像.mp4", ""}, {"sound_16k_mono_s16.wav", ".wav"}, {"text.mp4", "no video"},
      {"empty.mp4", "no video"}, {"missing.mp4", "no video"}, {"missing.png", ".png"}};
  const std::tuple<const char*, const char*, const char*> renamed[] = {
      {"mpeg4.mp4", ".Mov", "mp4v-20"}, {"mpeg4.mp4", ".MKV", "mp4v-20"},
      {"mpeg4.mp4", "", "mp4v-20"}, {"mpeg4.mp4", ".", "."}, {"mpeg4.mp4", ".mp4.mov", ".mp4.mov"},
      {"mpeg4.mp4", ".Png", ".Png"}, {"mpeg4.mp4", ".mpeg", ".mpeg"}, {"image.jpg", ".jp", ".jp"},
      {"image.jpg", ".JPEG", ""}, {"image.png", ".pnG", ".pnG"}};
  // clang-format on
  for (const auto& [file, expected] : samples) EXPECT_EQ(probeSample(file), expected) << file;
  for (const auto& [file, extension, expected] : renamed) {
    EXPECT_EQ(probeMedia(sampleFile(file), extension), expected) << file << " " << extension;
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
  // clang-format off
  const std::tuple<const char*, bool (*)(const std::string&), bool> cases[] = {
      {"image.png", isPngFile, true}, {"image.webp", isPngFile, false},
      {"sound_16k_mono_s16.wav", isWavFile, true}, {"sound_44k_mono_s16.wav", isWavFile, false},
      {"sound_16k_stereo_s16.wav", isWavFile, false}, {"sound_16k_mono_u8.wav", isWavFile, false}};
  // clang-format on
  for (const auto& [file, check, accepted] : cases) EXPECT_EQ(check(sampleFile(file)), accepted);
}

}  // namespace
