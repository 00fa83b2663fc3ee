#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <memory>

#include "app/app_context.h"
#include "commands/dispatcher.h"
#include "commands/media_intake.h"
#include "media/file_utils.h"
#include "platform/file_dialog.h"
#include "unit/test_support.h"

using nlohmann::json;

namespace {

const std::string kPng = std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16) +
                         std::string(17, '\1') + std::string("\0\0\0\0IEND\xae\x42\x60\x82", 12);

class Intake : public ::testing::Test {
 protected:
  void SetUp() override {
    context = makeContext(dir);
    ASSERT_TRUE(context);
    context->dialogs = &dialogs;
  }
  json add(const char* type) {
    std::string reply =
        dispatchPageMessage(*context, json{{"C", "add"}, {"T", type}, {"V", 1}, {"P", ""}}.dump());
    return reply.empty() ? json() : json::parse(reply)["P"];
  }

  TempAppFolder dir;
  PreparedDialogs dialogs;
  std::unique_ptr<AppContext> context;
};

TEST_F(Intake, MediaAreStoredUnderTheirDigestNames) {
  dir.write("in/one.png", kPng);
  dir.write("in/two.PNG", kPng);
  dialogs.addAnswer({dir.file("in/one.png"), dir.file("in/two.PNG")});
  json reply = add("media");
  ASSERT_TRUE(reply.is_array()) << reply;
  ASSERT_EQ(reply.size(), 2u);
  EXPECT_EQ(reply[0]["title"], "one.png");
  EXPECT_EQ(reply[1]["title"], "two.PNG");
  for (const auto& entry : reply) {
    std::string stored = entry["path"];
    EXPECT_EQ(stored.size(), 36u) << stored;
    EXPECT_EQ(dir.read("web/media/" + stored), kPng);
  }
  EXPECT_EQ(reply[1]["path"].get<std::string>().substr(32), ".PNG");
}

TEST_F(Intake, ARejectedFileStopsTheSelection) {
  dir.write("in/a.png", kPng);
  dir.write("in/b.avi", "not a video");
  dir.write("in/c.png", kPng);
  dialogs.addAnswer({dir.file("in/a.png"), dir.file("in/b.avi"), dir.file("in/c.png")});
  EXPECT_EQ(add("media"), json({{"codec", ".avi"}, {"status", "BADCODEC"}, {"title", "b.avi"}}));
  EXPECT_EQ(listFiles(dir.file("web/media")).size(), 1u)
      << "the first file stays, the third is not taken";
}

TEST_F(Intake, SingleFileAndCancel) {
  dir.write("in/x.png", kPng);
  dialogs.addAnswer({dir.file("in/x.png")});
  json reply = add("media");
  ASSERT_TRUE(reply.is_object());
  EXPECT_EQ(reply["title"], "x.png");
  EXPECT_EQ(dispatchPageMessage(*context, R"({"C":"add","T":"media","V":2,"P":""})"),
            R"({"C":"add","P":"","T":"media","V":2})")
      << "no answer left: the dialog is cancelled and the request comes back unchanged";
}

TEST_F(Intake, PicturesAndSounds) {
  std::string wav(44, '\0');
  wav.replace(0, 4, "RIFF");
  wav.replace(8, 8, "WAVEfmt ");
  const unsigned char fmt[] = {1, 0, 1, 0, 0x80, 0x3E, 0, 0, 0, 0, 0, 0, 2, 0, 16, 0};
  wav.replace(20, 16, std::string(reinterpret_cast<const char*>(fmt), 16));
  std::string wav44k = wav;
  wav44k[24] = '\x44', wav44k[25] = '\xAC';
  dir.write("in/big.png", kPng + std::string(1048576 - kPng.size(), 'x'));
  dir.write("in/almost.png", std::string(1048575, 'x'));
  // Sparse: 4 GiB + 1 KiB on the name, a few blocks on disk; a 32-bit size would see 1 KiB.
  dir.write("in/huge.png", kPng);
  std::filesystem::resize_file(dir.file("in/huge.png"), 4294968320u);
  dir.write("in/logo.Png", "not checked");
  dir.write("in/good.png", kPng);
  dir.write("in/good.WAV", wav);
  dir.write("in/bad.wav", wav44k);
  struct Case {
    const char* type;
    const char* file;
    json expected;
  } cases[] = {
      {"brand", "big.png", {{"filesize", 1048576}, {"status", "TOOBIG"}, {"title", "big.png"}}},
      {"brand",
       "huge.png",
       {{"filesize", 4294968320u}, {"status", "TOOBIG"}, {"title", "huge.png"}}},
      {"brand",
       "almost.png",
       {{"filesize", 1048575}, {"status", "BADPNG"}, {"title", "almost.png"}}},
      {"alertImage",
       "logo.Png",
       {{"path", dir.file("in/logo.Png")}, {"status", "OK"}, {"title", "logo.Png"}}},
      {"alertImage",
       "good.png",
       {{"path", dir.file("in/good.png")}, {"status", "OK"}, {"title", "good.png"}}},
      {"alertAudio",
       "good.WAV",
       {{"path", dir.file("in/good.WAV")}, {"status", "OK"}, {"title", "good.WAV"}}},
      {"alertAudio", "bad.wav", {{"filesize", 44}, {"status", "BADWAV"}, {"title", "bad.wav"}}},
  };
  for (const auto& c : cases) {
    dialogs.addAnswer({dir.file(std::string("in/") + c.file)});
    EXPECT_EQ(add(c.type), c.expected) << c.file;
  }
  EXPECT_TRUE(listFiles(dir.file("web/media")).empty()) << "pictures and sounds are not copied";
}

TEST_F(Intake, FirmwareConfigureAndOtherTypes) {
  dir.write("in/update.epak", "v1");
  dialogs.addAnswer({dir.file("in/update.epak")});
  EXPECT_EQ(add("firmware"), json({{"path", "update.epak"}, {"title", "update.epak"}}));
  dir.write("in/update.epak", "v2");
  dialogs.addAnswer({dir.file("in/update.epak")});
  add("firmware");
  EXPECT_EQ(dir.read("web/firmware/update.epak"), "v2");

  dir.write("in/s.conf", "c");
  dialogs.addAnswer({dir.file("in/s.conf")});
  EXPECT_EQ(add("configure"),
            json({{"path", dir.file("in/s.conf")}, {"status", "OK"}, {"title", "s.conf"}}));

  dialogs.addAnswer({dir.file("in/s.conf")});
  EXPECT_EQ(dispatchPageMessage(*context, R"({"C":"add","T":"other","V":1,"P":""})"), "");

  dialogs.addAnswer({dir.file("in/vanished.epak")});
  EXPECT_EQ(add("firmware"), json({{"status", "ERROR"}, {"title", "vanished.epak"}}))
      << "a copy that fails is reported, not passed off as done";
}

TEST_F(Intake, MediaRemoval) {
  dir.write("web/conf/other.json", R"({"playlist":[{"url":"shared.mp4"}]})");
  dir.write("web/media/shared.mp4", "s");
  dir.write("web/media/own.mp4", "o");
  struct Case {
    const char* media;
    const char* status;
    bool remains;
  } cases[] = {{"shared.mp4", "OK", true},
               {"own.mp4", "OK", false},
               {"own.mp4", "ERROR", false},
               {"../config.yaml", "ERROR", false}};
  for (const auto& c : cases) {
    json request = {{"C", "remove"},
                    {"T", "media"},
                    {"V", 1},
                    {"P", {{"media", c.media}, {"playlist", "current.json"}}}};
    EXPECT_EQ(dispatchPageMessage(*context, request.dump()),
              json({{"C", "remove"},
                    {"T", "media"},
                    {"V", 1},
                    {"P", {{"file", c.media}, {"status", c.status}}}})
                  .dump())
        << c.media;
  }
  EXPECT_TRUE(dir.exists("web/media/shared.mp4"));
  EXPECT_TRUE(dir.exists("config.yaml"));
}

TEST_F(Intake, AFailedCopyLeavesWhatWasThere) {
  dir.write("web/firmware/update.epak", "v1");
  dir.write("in/update.epak/inner", "a folder of the same name");
  dialogs.addAnswer({dir.file("web/firmware/update.epak")});
  dialogs.addAnswer({dir.file("in/update.epak")});
  EXPECT_EQ(add("firmware"), json({{"path", "update.epak"}, {"title", "update.epak"}}));
  EXPECT_EQ(add("firmware"), json({{"status", "ERROR"}, {"title", "update.epak"}}));
  EXPECT_EQ(listFiles(dir.file("web/firmware")), std::vector<std::string>{"update.epak"});
  EXPECT_EQ(dir.read("web/firmware/update.epak"), "v1");
}

TEST_F(Intake, BrokenImagesAndOddNames) {
  dir.write("in/notes.png", "just text");
  dir.write("in/empty.gif", "");
  dir.write("in/cut.png", kPng.substr(0, 30));
  dir.write("in/x.jp", "\xFF\xD8\xFF\xD9");  // a whole JPEG named by a part of ".jpg"
  dir.write("in/odd\xff.png", kPng);
  struct Case {
    const char* file;
    json expected;
  } cases[] = {
      {"notes.png", {{"codec", ".png"}, {"status", "BADCODEC"}, {"title", "notes.png"}}},
      {"empty.gif", {{"codec", ".gif"}, {"status", "BADCODEC"}, {"title", "empty.gif"}}},
      {"cut.png", {{"codec", ".png"}, {"status", "BADCODEC"}, {"title", "cut.png"}}},
      {"x.jp", {{"codec", ".jp"}, {"status", "BADCODEC"}, {"title", "x.jp"}}},
  };
  for (const auto& c : cases) {
    dialogs.addAnswer({dir.file(std::string("in/") + c.file)});
    EXPECT_EQ(add("media"), c.expected) << c.file;
  }
  dialogs.addAnswer({dir.file("in/odd\xff.png")});
  EXPECT_EQ(add("media")["title"], "odd\uFFFD.png");
  EXPECT_EQ(listFiles(dir.file("web/media")).size(), 1u);
}

TEST_F(Intake, PageFilesAreReadOnlyWhenAnsweredOrUnderWeb) {
  dir.write("in/chosen.conf", "chosen");
  dir.write("in/odd\xff.conf", "odd");
  dir.write("web/lib/shipped.png", "shipped");
  dir.write("secret", "secret");
  std::filesystem::create_symlink(dir.file("secret"), dir.file("web/link"));
  ASSERT_EQ(mkfifo(dir.file("web/fifo").c_str(), 0600), 0);
  dialogs.addAnswer({dir.file("in/chosen.conf")});
  dialogs.addAnswer({dir.file("in/odd\xff.conf")});
  add("configure");
  add("configure");
  struct Case {
    std::string path;
    const char* content;
  } cases[] = {
      {dir.file("in/chosen.conf"), "chosen"},
      {dir.file("in/odd\uFFFD.conf"), "odd"},
      {dir.file("web/lib/shipped.png"), "shipped"},
      {dir.file("secret"), ""},
      {dir.file("web/../secret"), ""},
      {dir.file("web/link"), ""},
      {dir.file("web/fifo"), ""},
      {"/dev/zero", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(context->readPageFile(c.path), c.content) << c.path;
}

TEST(StoredMediaName, DigestOfNameAndTime) {
  EXPECT_EQ(storedMediaName("photo.png", ".png", "20243597345"),
            md5Hex("photo.png20243597345") + ".png");
  std::string stamp = utcStampNow();
  EXPECT_GE(stamp.size(), 10u);
  EXPECT_EQ(stamp.find_first_not_of("0123456789"), std::string::npos);
}

}  // namespace
