#include "media/file_utils.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "unit/test_support.h"

namespace {

void put16(std::string& s, size_t at, uint16_t v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>(v >> 8);
}
void put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::string wavHeader(uint16_t format, uint16_t channels, uint32_t rate, uint16_t bits,
                      const char* firstChunk = "fmt ") {
  std::string h(44, '\0');
  h.replace(0, 4, "RIFF");
  h.replace(8, 4, "WAVE");
  h.replace(12, 4, firstChunk);
  put32(h, 16, 16);
  put16(h, 20, format);
  put16(h, 22, channels);
  put32(h, 24, rate);
  put32(h, 28, rate * channels * bits / 8);
  put16(h, 32, channels * bits / 8);
  put16(h, 34, bits);
  return h;
}

TEST(FileUtils, WavCheck) {
  struct Case {
    const char* name;
    std::string bytes;
    bool accepted;
  } cases[] = {
      {"16k mono 16-bit PCM", wavHeader(1, 1, 16000, 16), true},
      {"stereo", wavHeader(1, 2, 16000, 16), false},
      {"44.1 kHz", wavHeader(1, 1, 44100, 16), false},
      {"8 bits", wavHeader(1, 1, 16000, 8), false},
      {"not PCM", wavHeader(3, 1, 16000, 16), false},
      {"list chunk first", wavHeader(1, 1, 16000, 16, "LIST"), false},
      {"exactly 36 bytes", wavHeader(1, 1, 16000, 16).substr(0, 36), false},
      {"37 bytes", wavHeader(1, 1, 16000, 16).substr(0, 37), true},
      {"empty", "", false},
  };
  TempAppFolder dir;
  for (const auto& c : cases) {
    dir.write("sound.wav", c.bytes);
    EXPECT_EQ(isWavFile(dir.file("sound.wav")), c.accepted) << c.name;
  }
  EXPECT_FALSE(isWavFile(dir.file("missing.wav")));
}

TEST(FileUtils, PngCheck) {
  const std::string signature("\x89PNG\r\n\x1a\n", 8);
  struct Case {
    std::string bytes;
    bool accepted;
  } cases[] = {
      {signature, false},
      {signature + "x", true},
      {"\x89PNG\r\n\x1a\rxx", false},
      {"GIF89a..........", false},
  };
  TempAppFolder dir;
  for (const auto& c : cases) {
    dir.write("logo.png", c.bytes);
    EXPECT_EQ(isPngFile(dir.file("logo.png")), c.accepted) << c.bytes.size();
  }
}

TEST(FileUtils, Md5FollowsRfc1321) {
  struct Case {
    const char* input;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) EXPECT_EQ(md5Hex(c.input), c.digest) << c.input;
}

TEST(FileUtils, Base64LinesEndInCrLf) {
  TempAppFolder dir;
  struct Case {
    size_t size;
    std::vector<size_t> lineLengths;
  } cases[] = {{0, {}}, {1, {4}}, {47, {64}}, {48, {64}}, {49, {64, 4}}, {96, {64, 64}}};
  for (const auto& c : cases) {
    dir.write("blob", std::string(c.size, '\xAB'));
    std::string text = readFileText(dir.file("blob"), true);
    std::vector<size_t> lengths;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
      lengths.push_back(end - start);
    }
    EXPECT_EQ(start, text.size()) << "text after the last CR LF, size " << c.size;
    EXPECT_EQ(lengths, c.lineLengths) << "size " << c.size;
  }
  dir.write("hello", "Hello, world!");
  EXPECT_EQ(readFileText(dir.file("hello"), true), "SGVsbG8sIHdvcmxkIQ==\r\n");
}

TEST(FileUtils, ReadingAndSizes) {
  TempAppFolder dir;
  dir.write("data.bin", std::string("a\0b\xff", 4));
  dir.write("empty", "");
  EXPECT_EQ(readFileText(dir.file("data.bin")), std::string("a\0b\xff", 4));
  EXPECT_EQ(fileSize(dir.file("data.bin")), 4u);
  EXPECT_EQ(fileSize(dir.file("empty")), 0u);
  EXPECT_EQ(fileSize(dir.file("missing")), 0u);
  EXPECT_EQ(fileSize(dir.file("web")), 0u);
  EXPECT_EQ(readFileText(dir.file("missing")), "");
  EXPECT_EQ(readFileText(dir.file("web")), "");
  EXPECT_TRUE(isDirectory(dir.file("web")));
  EXPECT_FALSE(isDirectory(dir.file("data.bin")));
  EXPECT_FALSE(isDirectory(dir.file("missing")));
}

TEST(FileUtils, ListFilesLeavesOutFolders) {
  TempAppFolder dir;
  dir.write("web/media/b.mp4", "b");
  dir.write("web/media/a.png", "a");
  dir.write("web/media/sub/c.txt", "c");
  EXPECT_EQ(listFiles(dir.file("web/media")), (std::vector<std::string>{"a.png", "b.mp4"}));
  EXPECT_TRUE(listFiles(dir.file("nowhere")).empty());
}

TEST(FileUtils, WideConversionsRoundTrip) {
  for (std::string text : {"", "plain", "Grüße – 日本語 🎬", "tab\tand\nnewline"}) {
    EXPECT_EQ(wideToUtf8(utf8ToWide(text)), text);
  }
  EXPECT_EQ(utf8ToWide("\xC3\xA9"), L"\u00e9");
  // Malformed input never throws and never drops the rest of the text.
  EXPECT_EQ(utf8ToWide("a\xFF"
                       "b"),
            std::wstring(L"a\uFFFDb"));
  EXPECT_EQ(utf8ToWide("a\xE2\x82"), std::wstring(L"a\uFFFD"));
  EXPECT_EQ(utf8ToWide("\xC0\xAF"), std::wstring(L"\uFFFD"));
}

TEST(FileUtils, SafeNames) {
  for (const char* bad : {"", ".", "..", "../x.json", "a/b.json", "a\\b.json", "/etc/passwd"}) {
    EXPECT_FALSE(isSafeFileName(bad)) << bad;
  }
  EXPECT_FALSE(isSafeFileName(std::string("a\0b", 3)));
  for (const char* good : {"a.json", "..json", "Grüße.json", "my list.json", ".hidden"}) {
    EXPECT_TRUE(isSafeFileName(good)) << good;
  }
}

TEST(FileUtils, AtomicWriteReplacesWholeFile) {
  TempAppFolder dir;
  dir.write("web/conf/a.json", "old content that is longer than the new one");
  EXPECT_TRUE(writeFileAtomically(dir.file("web/conf/a.json"), "new"));
  EXPECT_EQ(dir.read("web/conf/a.json"), "new");
  EXPECT_EQ(listFiles(dir.file("web/conf")), std::vector<std::string>{"a.json"});
  EXPECT_FALSE(writeFileAtomically(dir.file("web/nowhere/a.json"), "x"));
}

TEST(FileUtils, StaleTempFilesAreRemovedButPlaylistsKept) {
  TempAppFolder dir;
  dir.write(std::string("web/conf/") + kTempFilePrefix + "a1B2c3", "{\"playl");
  dir.write(std::string("web/conf/") + kTempFilePrefix + "notours.json", "{}");
  dir.write("web/conf/a.json", "{}");
  removeStaleTempFiles(dir.file("web/conf"));
  EXPECT_EQ(listFiles(dir.file("web/conf")),
            (std::vector<std::string>{std::string(kTempFilePrefix) + "notours.json", "a.json"}));
}

}  // namespace
