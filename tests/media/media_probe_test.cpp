#include "media/media_probe.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>

#include "app/diag_log.h"
#include "media/file_utils.h"
#include "media_samples.h"

namespace {

class ProbeSamples : public testing::TestWithParam<ProbeCase> {};

TEST_P(ProbeSamples, GivesTheExpectedResult) {
  EXPECT_EQ(probeSample(GetParam()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Media, ProbeSamples,
    testing::Values(
        ProbeCase{"H264AacMp4", "h264_aac.mp4", ""},
        ProbeCase{"H264Mp3Mp4", "h264_mp3.mp4", " mp3"},
        ProbeCase{"HevcHvc1Mp4", "hevc_hvc1.mp4", ""},
        ProbeCase{"HevcHev1Mp4", "hevc_hev1.mp4", "hev1"},
        ProbeCase{"HevcHev1Mp3Mp4", "hevc_hev1_mp3.mp4", "hev1 mp3"},
        ProbeCase{"HevcMkv", "hevc.mkv", ""}, ProbeCase{"H264AacMkv", "h264_aac.mkv", ""},
        ProbeCase{"H264Mp3Mkv", "h264_mp3.mkv", " mp3"},
        ProbeCase{"H264AacMov", "h264_aac.mov", ""},
        ProbeCase{"Mpeg4Part2Mp4", "mpeg4.mp4", "mp4v-20"}, ProbeCase{"Avi", "mpeg4.avi", ".avi"},
        ProbeCase{"UpperCaseMp4", "h264_aac_upper.MP4", ""},
        ProbeCase{"MixedCaseMp4", "h264_aac_mixed.mP4", ".mP4"},
        ProbeCase{"NonAsciiPath", "Grüße 映像.mp4", ""}, ProbeCase{"Png", "image.png", ""},
        ProbeCase{"Jpeg", "image.jpg", ""}, ProbeCase{"Gif", "image.gif", ""},
        ProbeCase{"Bmp", "image.bmp", ""}, ProbeCase{"Webp", "image.webp", ""},
        ProbeCase{"Wav", "sound_16k_mono_s16.wav", ".wav"},
        ProbeCase{"TextFileAsMp4", "text.mp4", "no video"},
        ProbeCase{"EmptyMp4", "empty.mp4", "no video"},
        ProbeCase{"MissingMp4", "missing.mp4", "no video"},
        ProbeCase{"MissingPng", "missing.png", ".png"}),
    [](const auto& info) { return std::string(info.param.label); });

struct ExtensionCase {
  const char* label;
  const char* extension;
  const char* expected;
};

void PrintTo(const ExtensionCase& c, std::ostream* os) {
  *os << '"' << c.extension << '"';
}

class ProbeExtensions : public testing::TestWithParam<ExtensionCase> {};

// The lists are searched as text, case-sensitively; an MPEG-4 Part 2 clip tells the video way
// (its codec is refused) from the image way (accepted unseen).
TEST_P(ProbeExtensions, ChooseTheWayByTextSearch) {
  EXPECT_EQ(probeMedia(sampleFile("mpeg4.mp4"), GetParam().extension), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Media, ProbeExtensions,
    testing::Values(
        ExtensionCase{"Mp4", ".mp4", "mp4v-20"}, ExtensionCase{"CapitalMov", ".Mov", "mp4v-20"},
        ExtensionCase{"UpperMkv", ".MKV", "mp4v-20"}, ExtensionCase{"Empty", "", "mp4v-20"},
        ExtensionCase{"Dot", ".", "."}, ExtensionCase{"DotM", ".m", ".m"},
        ExtensionCase{"AcrossEntries", ".mp4.mov", ".mp4.mov"},
        ExtensionCase{"Png", ".png", ".png"}, ExtensionCase{"CapitalPng", ".Png", ".Png"},
        ExtensionCase{"UpperPng", ".PNG", ".PNG"}, ExtensionCase{"Jp", ".jp", ".jp"},
        ExtensionCase{"Webp", ".webp", ".webp"}, ExtensionCase{"LowerBmp", ".bmp", ".bmp"},
        ExtensionCase{"MixedMp4", ".mP4", ".mP4"}, ExtensionCase{"MixedPng", ".pnG", ".pnG"},
        ExtensionCase{"Avi", ".avi", ".avi"}, ExtensionCase{"Mpeg", ".mpeg", ".mpeg"}),
    [](const auto& info) { return std::string(info.param.label); });

// Whole images pass; the same bytes cut short, or under a name of another type, do not. A name
// that is not UTF-8 is probed like any other.
TEST(ProbeContent, ImagesMustBeWholeFilesOfTheirType) {
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
    EXPECT_EQ(copy(image, std::string("whole\xff") + extension, 0), "") << image;
    EXPECT_EQ(copy(image, "cut" + extension, 2), extension) << image;
    EXPECT_EQ(copy(image, "half" + extension, readFileText(sampleFile(image)).size() / 2),
              extension)
        << image;
    EXPECT_EQ(copy("image.gif", "other" + extension, 0), extension == ".gif" ? "" : extension);
  }
  EXPECT_EQ(copy("h264_aac.mp4", "clip\xff.mp4", 0), "");
  std::filesystem::remove_all(folder);
}

TEST(ProbePaths, NulCutsNoPathShort) {
  EXPECT_EQ(probeMedia(sampleFile("h264_aac.mp4") + std::string(1, '\0') + ".txt", ".mp4"),
            "no video");
}

TEST(ProbeDiagnostics, LogTheValuesOfTheFirstStreams) {
  setenv("QUILLORA_LOG", "stderr", 1);
  initDiagLog();
  testing::internal::CaptureStderr();
  probeMedia(sampleFile("h264_aac.mp4"), ".mp4");
  probeMedia(sampleFile("image.gif"), ".gif");
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("] " + sampleFile("h264_aac.mp4") + "\n"), std::string::npos) << log;
  EXPECT_NE(log.find("] avc1, 64 x 36, 300 ms, mp4a-40-2\n"), std::string::npos) << log;
  EXPECT_NE(log.find("] 64 x 36\n"), std::string::npos) << log;
}

// The PNG and WAV header checks of media intake against what a real encoder writes.
TEST(MediaHeaders, RealEncoderOutputPassesOnlyTheAcceptedFormat) {
  EXPECT_TRUE(isPngFile(sampleFile("image.png")));
  EXPECT_FALSE(isPngFile(sampleFile("image.webp")));
  EXPECT_TRUE(isWavFile(sampleFile("sound_16k_mono_s16.wav")));
  for (const char* file :
       {"sound_44k_mono_s16.wav", "sound_16k_stereo_s16.wav", "sound_16k_mono_u8.wav"}) {
    EXPECT_FALSE(isWavFile(sampleFile(file))) << file;
  }
}

}  // namespace
