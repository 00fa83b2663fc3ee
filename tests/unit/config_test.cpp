#include "app/config.h"

#include <gtest/gtest.h>

#include "unit/test_support.h"

namespace {

TEST(Config, ReadsPortsAndLanguage) {
  const std::string ports = "notification: {port: 8089, x: 1}\nsearch: {port: 37020}\nextra: [1]\n";
  const std::pair<const char*, const char*> cases[] = {
      // clang-format off
      {"language: en\n", "en"}, {"language: fr\n", "auto"}, {"language: ''\n", "auto"},
      {"language: ~\n", "null"}
      // clang-format on
  };
  for (const auto& [language, expected] : cases) {
    TempAppFolder dir;
    dir.write("web/lang/null/strings.json", "{}");  // YAML's null names this folder
    dir.write("config.yaml", ports + language);
    std::string error;
    auto config = loadConfig(dir.path(), error);
    ASSERT_TRUE(config) << language << error;
    EXPECT_EQ(config->notificationPort, 8089);
    EXPECT_EQ(config->searchPort, 37020);
    EXPECT_EQ(config->language, expected) << language;
  }
}

TEST(Config, ErrorsNameTheProblem) {
  const std::pair<const char*, const char*> cases[] = {
      // clang-format off
      {nullptr, "missing"}, {"", "missing"}, {"notification: [port: 1\n", "not valid YAML"},
      {"- a\n- b\n", "mapping"},
      {"search: {port: 2}\nlanguage: en\n", "\"notification: port\" is missing"},
      {"notification: {port: 1}\nlanguage: en\n", "\"search: port\" is missing"},
      {"notification: 5\nsearch: {port: 2}\nlanguage: en\n", "must be a mapping"},
      {"notification: {port: abc}\nsearch: {port: 2}\nlanguage: en\n", "found \"abc\""},
      {"notification: {port: 1}\nsearch: {port: 2}\n", "\"language\" is missing"},
      {"notification: {port: 1}\nsearch: {port: 2}\nlanguage: [en]\n", "\"language\" must be"}
      // clang-format on
  };
  for (const auto& [yaml, mentions] : cases) {
    TempAppFolder dir;
    yaml ? dir.write("config.yaml", yaml) : (void)std::remove(dir.file("config.yaml").c_str());
    std::string error;
    EXPECT_FALSE(loadConfig(dir.path(), error)) << (yaml ? yaml : "(none)");
    EXPECT_NE(error.find(mentions), std::string::npos) << error;
    EXPECT_NE(error.find("config.yaml"), std::string::npos) << error;
  }
}

}  // namespace
