#include "commands/dispatcher.h"

#include <gtest/gtest.h>

#include <memory>

#include "app/app_context.h"
#include "media/file_utils.h"
#include "unit/test_support.h"

namespace {

class Dispatcher : public ::testing::Test {
 protected:
  void SetUp() override {
    context = makeContext(dir);
    ASSERT_TRUE(context);
  }
  std::string dispatch(const std::string& text) { return dispatchPageMessage(*context, text); }

  TempAppFolder dir;
  std::unique_ptr<AppContext> context;
};

TEST_F(Dispatcher, EchoesAndRoutes) {
  dir.write("web/conf/a.json", R"({"playlist":[{"url":"m.mp4"}]})");
  dir.write("web/conf/empty.json", R"({"playlist":[]})");
  struct Case {
    const char* request;
    const char* reply;
  } cases[] = {
      {R"({"C":"get","T":"playlistFiles4Check","V":1,"P":""})",
       R"({"C":"get","P":["a.json"],"T":"playlistFiles4Check","V":1})"},
      {R"({"C":"get","T":"playlistFilesAnything","V":2})",
       R"({"C":"get","P":["a.json"],"T":"playlistFilesAnything","V":2})"},
      {R"({"C":"get","T":"playlistFile","V":1,"P":""})",
       R"({"C":"get","P":"","T":"playlistFile","V":1})"},
      {R"({"V":2,"T":"x","C":"frobnicate","P":{"b":1,"a":"ü"}})",
       R"({"C":"frobnicate","P":{"a":"ü","b":1},"T":"x","V":2})"},
      {R"({"C":"deploy","T":"nothing","V":1,"P":{}})",
       R"({"C":"deploy","P":{},"T":"nothing","V":1})"},
      {R"({"C":"remove","T":"other","V":1,"P":"a.json"})",
       R"({"C":"remove","P":"a.json","T":"other","V":1})"},
      {R"({"C":"set","T":"screen","V":1,"P":{"cmd":"1"}})", ""},
      {R"({"C":"open","T":"playlist","V":"v","P":"a.json"})",
       R"({"C":"open","P":{"playlist":[{"url":"m.mp4"}]},"T":"playlist","V":"v"})"},
      {R"({"C":"open","T":"playlist","V":1,"P":"missing.json"})", ""},
      {R"({"C":"open","T":"playlist","V":1,"P":"../config.yaml"})", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(dispatch(c.request), c.reply) << c.request;
  EXPECT_FALSE(dir.exists("web/conf/empty.json"));
}

TEST_F(Dispatcher, SaveOpenRoundTripKeepsNonAsciiBytes) {
  const std::string items =
      R"([{"url":"5f.mp4","type":1,"title":"Café ☕ 日本","id":4294967294,"duration":12},)"
      R"({"url":"6a.png","type":1,"title":"b","id":0,"duration":3.5}])";
  EXPECT_EQ(dispatch(R"({"T":"playlist","C":"save","V":1,"P":{"name":"a.json","playlist":)" +
                     items + "}}"),
            R"({"C":"save","P":{"name":"a.json","status":"OK"},"T":"playlist","V":1})");
  const std::string stored =
      R"({"playlist":[{"duration":12,"id":4294967294,"title":"Café ☕ 日本","type":1,"url":"5f.mp4"},)"
      R"({"duration":3.5,"id":0,"title":"b","type":1,"url":"6a.png"}]})";
  EXPECT_EQ(dir.read("web/conf/a.json"), stored);
  EXPECT_EQ(dispatch(R"({"T":"playlist","C":"open","V":1,"P":"a.json"})"),
            R"({"C":"open","P":)" + stored + R"(,"T":"playlist","V":1})");
}

TEST_F(Dispatcher, UnsafeNamesAreRefused) {
  dir.write("web/x.json", "keep");
  for (const char* name : {"../x.json", "a/b.json", "..", "", ".quillora-save-AbC123"}) {
    std::string n = name;
    EXPECT_EQ(
        dispatch(R"({"T":"playlist","C":"save","V":1,"P":{"name":")" + n + R"(","playlist":[]}})"),
        R"({"C":"save","P":{"name":")" + n + R"(","status":"ERROR"},"T":"playlist","V":1})");
    EXPECT_EQ(
        dispatch(R"({"T":"playlist","C":"remove","V":1,"P":")" + n + R"("})"),
        R"({"C":"remove","P":{"name":")" + n + R"(","status":"ERROR"},"T":"playlist","V":1})");
  }
  EXPECT_EQ(dir.read("web/x.json"), "keep");
  EXPECT_TRUE(listFiles(dir.file("web/conf")).empty());
}

TEST_F(Dispatcher, MalformedRequestsAnswerNothingAndChangeNothing) {
  dir.write("web/conf/a.json", R"({"playlist":[{"url":"m.mp4"}]})");
  dir.write("web/media/m.mp4", "m");
  for (const char* request : {
           "",
           "not json",
           "[1,2]",
           "\"text\"",
           R"({"C":"get"})",
           R"({"T":"playlist"})",
           R"({"C":5,"T":"playlist"})",
           R"({"C":"save","T":1})",
           R"({"C":"save","T":"playlist","V":1})",
           R"({"C":"save","T":"playlist","V":1,"P":"a.json"})",
           R"({"C":"save","T":"playlist","V":1,"P":{"name":"a.json"}})",
           R"({"C":"save","T":"playlist","V":1,"P":{"name":"a.json","playlist":{}}})",
           R"({"C":"save","T":"playlist","V":1,"P":{"name":"a.json","playlist":[1]}})",
           R"({"C":"save","T":"playlist","V":1,"P":{"name":7,"playlist":[]}})",
           R"({"C":"remove","T":"playlist","V":1,"P":{"name":"a.json"}})",
           R"({"C":"remove","T":"playlist","V":1})",
           R"({"C":"open","T":"playlist","V":1,"P":1})",
           "{\"C\":\"save\",\"T\":\"playlist\",\"P\":{\"name\":\"\xff.json\",\"playlist\":[]}}",
       }) {
    EXPECT_EQ(dispatch(request), "") << request;
  }
  EXPECT_EQ(dir.read("web/conf/a.json"), R"({"playlist":[{"url":"m.mp4"}]})");
  EXPECT_TRUE(dir.exists("web/media/m.mp4"));
}

TEST_F(Dispatcher, OpenOfBrokenFileAnswersNothing) {
  dir.write("web/conf/broken.json", "{\"playlist\":[");
  dir.write("web/conf/zero.json", "");
  EXPECT_EQ(dispatch(R"({"C":"open","T":"playlist","V":1,"P":"broken.json"})"), "");
  EXPECT_EQ(dispatch(R"({"C":"open","T":"playlist","V":1,"P":"zero.json"})"), "");
}

}  // namespace
