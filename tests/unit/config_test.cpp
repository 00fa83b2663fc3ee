#include "app/config.h"

#include <gtest/gtest.h>

#include "unit/test_support.h"

namespace {

TEST(Config, ReadsPortsAndLanguage) {
  struct Case {
    const char* yaml;
    const char* language;
  } cases[] = {
      {"notification: {port: 8089}\nsearch: {port: 37020}\nlanguage: en\n", "en"},
      {"notification: {port: 8089}\nsearch: {port: 37020}\nlanguage: fr\n", "auto"},
      {"notification: {port: 8089}\nsearch: {port: 37020}\nlanguage:\n", "auto"},
      {"notification: {port: 8089}\nsearch: {port: 37020}\nlanguage: ''\n", "auto"},
      {"notification: {port: 8089, x: 1}\nsearch: {port: 37020}\nlanguage: auto\nextra: [1]\n",
       "auto"},
  };
  for (const auto& c : cases) {
    TempAppFolder dir;
    dir.write("config.yaml", c.yaml);
    std::string error;
    auto config = loadConfig(dir.path(), error);
    ASSERT_TRUE(config) << c.yaml << error;
    EXPECT_EQ(config->notificationPort, 8089);
    EXPECT_EQ(config->searchPort, 37020);
    EXPECT_EQ(config->language, c.language) << c.yaml;
  }
}

TEST(Config, NullLanguageNamesAFolderCalledNull) {
  TempAppFolder dir;
  dir.write("web/lang/null/strings.json", "{}");
  dir.write("config.yaml", "notification: {port: 1}\nsearch: {port: 2}\nlanguage: ~\n");
  std::string error;
  auto config = loadConfig(dir.path(), error);
  ASSERT_TRUE(config) << error;
  EXPECT_EQ(config->language, "null");
}

TEST(Config, ErrorsNameTheProblem) {
  struct Case {
    const char* yaml;  // nullptr: no file at all
    const char* mentions;
  } cases[] = {
      {nullptr, "missing"},
      {"", "missing"},
      {"notification: [port: 1\n", "not valid YAML"},
      {"- a\n- b\n", "mapping"},
      {"search: {port: 2}\nlanguage: en\n", "\"notification: port\" is missing"},
      {"notification: {port: 1}\nlanguage: en\n", "\"search: port\" is missing"},
      {"notification: {}\nsearch: {port: 2}\nlanguage: en\n", "\"notification: port\" is missing"},
      {"notification: 5\nsearch: {port: 2}\nlanguage: en\n", "must be a mapping"},
      {"notification: {port: abc}\nsearch: {port: 2}\nlanguage: en\n", "found \"abc\""},
      {"notification: {port: 1}\nsearch: {port: 99999999999}\nlanguage: en\n", "integer"},
      {"notification: {port: 1}\nsearch: {port: 2}\n", "\"language\" is missing"},
      {"notification: {port: 1}\nsearch: {port: 2}\nlanguage: [en]\n", "\"language\" must be"},
  };
  for (const auto& c : cases) {
    TempAppFolder dir;
    if (c.yaml) {
      dir.write("config.yaml", c.yaml);
    } else {
      std::remove(dir.file("config.yaml").c_str());
    }
    std::string error;
    EXPECT_FALSE(loadConfig(dir.path(), error)) << (c.yaml ? c.yaml : "(none)");
    EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
    EXPECT_NE(error.find("config.yaml"), std::string::npos) << error;
  }
}

}  // namespace
