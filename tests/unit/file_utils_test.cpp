#include "media/atomic_files.h"
#include "media/file_kinds.h"
#include "media/file_reading.h"
#include "media/names.h"
#include "platform/crypto.h"

#include <gtest/gtest.h>

#include "base/log.h"
#include "unit/test_platform.h"
#include "unit/test_support.h"

namespace {

// Layouts no committed sample has; real encoders' channels and rates are in the media tests.
TEST(FileUtils, PictureAndSoundHeaders) {
  auto wav = [](char format, const char* chunk, size_t size) {
    std::string h = std::string("RIFF\0\0\0\0WAVE", 12) + chunk + std::string(28, '\0');
    h[16] = 16, h[20] = format, h[22] = 1, h[24] = '\x80', h[25] = 0x3E, h[34] = 16;
    return h.substr(0, size);
  };
  const std::string png("\x89PNG\r\n\x1a\n", 8);
  const std::tuple<std::string, bool (*)(const std::string&), bool> cases[] = {
      // clang-format off
      {wav(1, "fmt ", 44), isWavFile, true}, {wav(3, "fmt ", 44), isWavFile, false},
      {wav(1, "LIST", 44), isWavFile, false}, {wav(1, "fmt ", 36), isWavFile, false},
      {wav(1, "fmt ", 37), isWavFile, true}, {png, isPngFile, false}, {png + "x", isPngFile, true},
      {"\x89PNG\r\n\x1a\rxx", isPngFile, false}
      // clang-format on
  };
  TempAppFolder dir;
  for (const auto& [bytes, check, accepted] : cases) {
    dir.write("file", bytes);
    EXPECT_EQ(check(dir.file("file")), accepted) << bytes.size();
  }
}

TEST(FileUtils, ReadingTakesRegularFilesOnly) {
  TempAppFolder dir;
  dir.write({"data.bin", std::string("a\0b\xff", 4), "blob", std::string(49, '\xAB')});
  std::vector<std::string> unreadable = {dir.file("missing"), dir.file("web"), kEndlessDevice};
  if (makeFifo(dir.file("fifo"))) unreadable.push_back(dir.file("fifo"));
  EXPECT_EQ(readRegularFile(dir.file("data.bin")), std::string("a\0b\xff", 4));
  EXPECT_EQ(fileSize(dir.file("data.bin")), 4u);
  std::string line;  // 48 bytes per line of 64 characters, each line ended by CR LF
  for (int i = 0; i < 16; ++i) line += "q6ur";
  EXPECT_EQ(readFileText(dir.file("blob"), true), line + "\r\nqw==\r\n");
  for (const std::string& path : unreadable) {
    EXPECT_FALSE(readRegularFile(path)) << path;
    EXPECT_EQ(fileSize(path), 0u) << path;
  }
  EXPECT_TRUE(isDirectory(dir.file("web")) && !isDirectory(dir.file("data.bin")));
  EXPECT_EQ(md5HexDigest(std::string(80, 'a')), "b15af9cdabbaea0516866a33d8fd0f98");
}

TEST(FileUtils, SafeNames) {
  for (const std::string& bad : std::vector<std::string>{"", ".", "..", "../x.json", "a/b.json",
                                                         "a\\b.json", std::string("a\0b", 3)}) {
    EXPECT_FALSE(isSafeFileName(bad)) << bad;
  }
  for (const char* good : {"a.json", "..json", "Grüße.json", ".hidden"}) {
    EXPECT_TRUE(isSafeFileName(good));
    EXPECT_TRUE(isPlainName(good));
  }
  for (const std::string& unplain : std::vector<std::string>{
           "", " ", "   ", "a\tb", "a\rb", "a\nb", std::string("a\0b", 3), "a\x7f", "\x1b[2J"}) {
    EXPECT_FALSE(isPlainName(unplain)) << unplain;
  }
}

TEST(FileUtils, ReplacingGoesThroughATemporary) {
  TempAppFolder dir;
  dir.write("web/conf/a.json", "old content that is longer than the new one");
  EXPECT_TRUE(writeFileAtomically(dir.file("web/conf/a.json"), "new"));
  EXPECT_FALSE(writeFileAtomically(dir.file("web/nowhere/a.json"), "x"));
  EXPECT_TRUE(copyFileAtomically(dir.file("web/conf/a.json"), dir.file("web/conf/a.json")));
  EXPECT_FALSE(copyFileAtomically(dir.file("web"), dir.file("web/conf/a.json")));
  EXPECT_EQ(dir.read("web/conf/a.json"), "new");
  const std::string kept = std::string(kTempFilePrefix) + "notours.json";
  dir.write(std::string("web/conf/") + kTempFilePrefix + "a1B2c3", "{\"playl");
  dir.write("web/conf/" + kept, "{}");
  removeStaleTempFiles(dir.file("web/conf"));
  EXPECT_EQ(listFiles(dir.file("web/conf")), (std::vector<std::string>{kept, "a.json"}));
}

TEST(DiagLog, EveryPasswordIsMasked) {
  const std::pair<std::string, std::string> rows[] = {
      {R"({"pass":"pw","user":"a"})", R"({"pass":"***","user":"a"})"},
      {R"({"pass" : "a\"b","x":1,"pass":"c"})", R"({"pass" : "***","x":1,"pass":"***"})"},
      {R"({"pass":"cut)", R"({"pass":"***)"},
      {R"({"passwd":"x","pass":7})", R"({"passwd":"x","pass":7})"},
  };
  for (const auto& [line, masked] : rows) EXPECT_EQ(maskCredentials(line), masked) << line;
}

}  // namespace
