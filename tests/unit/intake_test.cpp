#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "app/app_context.h"
#include "commands/dispatcher.h"
#include "commands/media_intake.h"
#include "media/file_reading.h"
#include "platform/file_dialog.h"
#include "platform/file_system.h"
#include "unit/test_platform.h"
#include "unit/test_support.h"

using nlohmann::json;

namespace {

// A whole PNG as the probe sees it: signature, header chunk, end chunk (CRCs are not checked).
const std::string kPng = std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16) +
                         std::string(17, '\1') + std::string("\0\0\0\0IEND\xae\x42\x60\x82", 12);

class Intake : public ::testing::Test {
 protected:
  void SetUp() override {
    context = makeContext(dir);
    ASSERT_TRUE(context);
    context->dialogs = &dialogs;
  }
  // Answers the next dialog with files of in/ and sends the page's "add" request.
  json add(const char* type, const std::vector<std::string>& files) {
    std::vector<std::string> paths;
    for (const auto& file : files) paths.push_back(dir.file("in/" + file));
    dialogs.addAnswer(paths);
    return dispatch({{"C", "add"}, {"T", type}, {"V", 1}, {"P", ""}});
  }
  json dispatch(const json& request) {
    std::string reply = dispatchPageMessage(*context, request.dump());
    return reply.empty() ? json() : json::parse(reply)["P"];
  }
  static json status(const char* title, const char* status, json more = json::object()) {
    more.update({{"status", status}, {"title", title}});
    return more;
  }

  TempAppFolder dir;
  PreparedDialogs dialogs;
  std::unique_ptr<AppContext> context;
};

TEST_F(Intake, MediaAreCheckedAndStoredUnderDigestNames) {
  // A whole JPEG under a part of ".jpg" and a text under a picture name: what the probe refuses.
  dir.write({"in/one.png", kPng, "in/two.PNG", kPng, "in/b.avi", "not video", "in/notes.png",
             "text", "in/x.jp", "\xFF\xD8\xFF\xD9"});
  json two = add("media", {"one.png", "two.PNG"});
  ASSERT_EQ(two.size(), 2u) << two;
  std::string stored = two[1]["path"];
  EXPECT_EQ(stored.substr(32), ".PNG");
  EXPECT_EQ(dir.read("web/media/" + stored), kPng);
  const std::pair<std::vector<std::string>, json> cases[] = {
      {{"one.png", "b.avi", "two.PNG"}, status("b.avi", "BADCODEC", {{"codec", ".avi"}})},
      {{"notes.png"}, status("notes.png", "BADCODEC", {{"codec", ".png"}})},
      {{"x.jp"}, status("x.jp", "BADCODEC", {{"codec", ".jp"}})}};
  for (const auto& [files, expected] : cases) EXPECT_EQ(add("media", files), expected) << files[0];
  EXPECT_EQ(listFiles(dir.file("web/media")).size(), 3u) << "a refusal stops the selection there";
  if (kNamesAreBytes) {
    dir.write("in/odd\xff.png", kPng);
    EXPECT_EQ(add("media", {"odd\xff.png"})["title"], "odd\uFFFD.png");
  }
  EXPECT_EQ(dispatchPageMessage(*context, R"({"C":"add","T":"media","V":2,"P":""})"),
            R"({"C":"add","P":"","T":"media","V":2})")
      << "no answer left: the dialog is cancelled and the request comes back unchanged";
  EXPECT_EQ(storedMediaName("photo.png", ".png", "20243597345"),
            "6774ae8915d00766df9837e2f5769d5a.png");
}

TEST_F(Intake, PicturesSoundsFirmwareAndConfigurations) {
  const std::string big = kPng + std::string(1048576 - kPng.size(), 'x'), almost(1048575, 'x');
  dir.write(
      {"in/big.png", big, "in/huge.png", kPng, "in/almost.png", almost, "in/bad.wav", "RIFF"});
  dir.write({"in/logo.Png", "not checked", "in/s.conf", "c", "in/update.epak", "v2",
             "in/folder.epak/inner", "a folder", "web/firmware/folder.epak", "v1"});
  // Sparse: 4 GiB + 1 KiB on the name, a few blocks on disk; a 32-bit size would see 1 KiB.
  std::filesystem::resize_file(pathFromUtf8(dir.file("in/huge.png")), 4294968320u);
  const json firmware = {{"path", "update.epak"}, {"title", "update.epak"}};
  std::vector<std::tuple<const char*, const char*, json>> cases = {
      {"brand", "big.png", status("big.png", "TOOBIG", {{"filesize", 1048576}})},
      {"brand", "huge.png", status("huge.png", "TOOBIG", {{"filesize", 4294968320u}})},
      {"brand", "almost.png", status("almost.png", "BADPNG", {{"filesize", 1048575}})},
      {"alertImage", "logo.Png", status("logo.Png", "OK", {{"path", dir.file("in/logo.Png")}})},
      {"alertAudio", "bad.wav", status("bad.wav", "BADWAV", {{"filesize", 4}})},
      {"configure", "s.conf", status("s.conf", "OK", {{"path", dir.file("in/s.conf")}})},
      {"other", "s.conf", json()},
      {"firmware", "update.epak", firmware},
      {"firmware", "../web/firmware/update.epak", firmware},  // onto its own copy
      {"firmware", "folder.epak", status("folder.epak", "ERROR")},
      {"firmware", "vanished.epak", status("vanished.epak", "ERROR")}};
  std::vector<std::string> firmwareFiles = {"folder.epak", "update.epak"};
  if (kNamesAreBytes) {
    dir.write("in/odd\xff.epak", "v3");
    cases.emplace_back("firmware", "odd\xff.epak",
                       json{{"path", "odd\uFFFD.epak"}, {"title", "odd\uFFFD.epak"}});
    firmwareFiles.insert(firmwareFiles.begin() + 1, "odd\uFFFD.epak");
  }
  for (const auto& [type, file, expected] : cases) EXPECT_EQ(add(type, {file}), expected) << file;
  EXPECT_TRUE(listFiles(dir.file("web/media")).empty()) << "pictures and sounds are not copied";
  EXPECT_EQ(listFiles(dir.file("web/firmware")), firmwareFiles);
  EXPECT_EQ(dir.read("web/firmware/update.epak"), "v2");
  EXPECT_EQ(dir.read("web/firmware/folder.epak"), "v1") << "a failed copy leaves what was there";
}

TEST_F(Intake, MediaRemoval) {
  dir.write({"web/conf/other.json", R"({"playlist":[{"url":"shared.mp4"}]})",
             "web/media/shared.mp4", "s", "web/media/own.mp4", "o"});
  const std::pair<const char*, const char*> cases[] = {
      {"shared.mp4", "OK"}, {"own.mp4", "OK"}, {"own.mp4", "ERROR"}, {"../config.yaml", "ERROR"}};
  for (const auto& [media, status] : cases) {
    json request = {{"C", "remove"}, {"T", "media"}, {"V", 1}};
    request["P"] = {{"media", media}, {"playlist", "current.json"}};
    EXPECT_EQ(dispatch(request), json({{"file", media}, {"status", status}})) << media;
  }
  EXPECT_EQ(listFiles(dir.file("web/media")), std::vector<std::string>{"shared.mp4"});
  EXPECT_TRUE(dir.exists("config.yaml"));
}

TEST_F(Intake, PageFilesAreReadOnlyWhenAnsweredOrUnderWeb) {
  dir.write({"in/chosen.conf", "chosen", "in/odd\xff.conf", "odd", "web/lib/shipped.png", "shipped",
             "secret", "secret"});
  // clang-format off
  std::vector<std::pair<std::string, const char*>> cases = {
      {"in/chosen.conf", "chosen"}, {"in/odd\uFFFD.conf", "odd"}, {"web/lib/shipped.png", "shipped"},
      {"secret", ""}, {"web/../secret", ""}, {kEndlessDevice, ""}};
  // clang-format on
  std::error_code noLinks;  // Wine makes none
  std::filesystem::create_symlink(dir.file("secret"), dir.file("web/link"), noLinks);
  if (!noLinks) cases.emplace_back("web/link", "");
  if (makeFifo(dir.file("web/fifo"))) cases.emplace_back("web/fifo", "");
  for (const char* chosen : {"chosen.conf", "odd\xff.conf"}) add("configure", {chosen});
  for (const auto& [name, content] : cases)
    EXPECT_EQ(context->readPageFile(name == kEndlessDevice ? name : dir.file(name)), content)
        << name;
}

}  // namespace
