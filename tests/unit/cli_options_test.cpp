#include "app/cli_options.h"

#include <gtest/gtest.h>

#include "unit/test_support.h"

namespace {

TEST(CliOptions, ParsesEveryOption) {
  TempAppFolder dir;
  // File names need not be UTF-8.
  dir.write("answers.json", "[[\"/a/x.mp4\",\"/a/y\xff\xf4\x8f.png\"],[],[\"/b/z.zip\"]]");
  auto options = parseCliOptions({"--folder", "/app", "--choose", "/c/one.mp4", "--answers",
                                  dir.file("answers.json"), "--wait", "2.5", "--until", "finish",
                                  "{\"C\":\"get\"}", "-"});
  ASSERT_TRUE(options) << options.error();
  EXPECT_EQ(options->folder, "/app");
  EXPECT_EQ(options->answers,
            (std::vector<std::vector<std::string>>{
                {"/c/one.mp4"}, {"/a/x.mp4", "/a/y\xff\xf4\x8f.png"}, {}, {"/b/z.zip"}}));
  EXPECT_EQ(std::tuple(options->waitSeconds, options->waitGiven, options->until),
            std::tuple(2.5, true, "finish"));
  EXPECT_EQ(options->messages, (std::vector<std::string>{"{\"C\":\"get\"}", "-"}));
}

TEST(CliOptions, UsageErrors) {
  TempAppFolder dir;
  dir.write({"bad1.json", R"({"a":1})", "bad2.json", R"([["ok"], "not an array"])", "bad3.json",
             "[[1]]"});
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{"--folder"}, "--folder needs a value"},
      {{"--wait", "soon"}, "--wait"},
      {{"--wait", "-1"}, "--wait"},
      {{"--wait", "nan"}, "--wait"},
      {{"--frobnicate"}, "unknown option --frobnicate"},
      {{"--answers", dir.file("missing.json")}, "--answers"},
      {{"--answers", dir.file("bad1.json")}, "array of arrays"},
      {{"--answers", dir.file("bad2.json")}, "every entry"},
      {{"--answers", dir.file("bad3.json")}, "strings"}};
  for (const auto& [args, mentions] : cases) {
    auto options = parseCliOptions(args);
    ASSERT_FALSE(options) << args[0];
    EXPECT_NE(options.error().find(mentions), std::string::npos) << options.error();
  }
}

}  // namespace
