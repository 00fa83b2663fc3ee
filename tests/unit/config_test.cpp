#include "app/config.h"

#include <gtest/gtest.h>

#include "unit/test_support.h"

namespace {

// A language comes back as it was read; an error ("!" first) names the problem; "" is no file.
TEST(Config, ReadsPortsAndLanguageOrNamesTheProblem) {
  const std::string ports =
      "notification: {port: 8089, x: 1}\nsearch: {port: 37020}\nextra: [1]\n"
      "sendCapMbps: 40\nsendCapPerDisplayMbps: 2.5\nhistory: {keep_runs: 0}\nwaveSize: 5\n";
  const std::string base = "notification: {port: 1}\nsearch: {port: 2}\nlanguage: en\n";
  const std::pair<std::string, const char*> cases[] = {
      // clang-format off
      {ports + "language: en\n", "en"}, {ports + "language: fr\n", "auto"},
      {ports + "language: ''\n", "auto"}, {ports + "language: ~\n", "null"},
      {"", "!missing"}, {"notification: [port: 1\n", "!not valid YAML"}, {"- a\n- b\n", "!mapping"},
      {"search: {port: 2}\nlanguage: en\n", "!\"notification: port\" is missing"},
      {"notification: {port: 1}\nlanguage: en\n", "!\"search: port\" is missing"},
      {"notification: 5\nsearch: {port: 2}\nlanguage: en\n", "!must be a mapping"},
      {"notification: {port: abc}\nsearch: {port: 2}\nlanguage: en\n", "!found \"abc\""},
      {"notification: {port: 1}\nsearch: {port: 2}\n", "!\"language\" is missing"},
      {"notification: {port: 1}\nsearch: {port: 2}\nlanguage: [en]\n", "!\"language\" must be"},
      {"notification: {port: 1}\nsearch: {port: 2}\nsendCapMbps: -1\n", "!\"sendCapMbps\" must be a"},
      {"notification: {port: 1}\nsearch: {port: 2}\nsendCapPerDisplayMbps: x\n",
       "!\"sendCapPerDisplayMbps\" must be a number of Mbit/s, 0 or more, found \"x\""},
      {base + "history: {keep_days: -1}\n", "!\"history: keep_days\" must be a whole number, 0 (no limit) or more, found \"-1\""},
      {base + "waveSize: 2.5\n", "!\"waveSize\" must be a whole number of displays"},
      {base + "history: {keep_runs: many}\n", "!\"history: keep_runs\" must be a whole number"},
      {base + "history: 5\n", "!\"history\" must be a mapping"}
      // clang-format on
  };
  for (const auto& [yaml, expected] : cases) {
    TempAppFolder dir;
    dir.write("web/lang/null/strings.json", "{}");  // YAML's null names this folder
    yaml.empty() ? (void)std::remove(dir.file("config.yaml").c_str())
                 : dir.write("config.yaml", yaml);
    auto config = loadConfig(dir.path());
    ASSERT_EQ(!config, expected[0] == '!') << yaml;
    if (!config) {
      const std::string& error = config.error();
      EXPECT_TRUE(error.find(expected + 1) != error.npos && error.find("config.yaml") != error.npos)
          << error;
    } else {
      EXPECT_EQ(std::pair(config->notificationPort, config->searchPort), std::pair(8089, 37020));
      EXPECT_EQ(config->language, expected) << yaml;
      EXPECT_EQ(std::pair(config->sendCapMbps, config->sendCapPerDisplayMbps),
                std::pair(40.0, 2.5));
      EXPECT_EQ(std::tuple(config->historyDays, config->historyRuns, config->waveSize),
                std::tuple(int64_t{365}, int64_t{0}, int64_t{5}));
    }
  }
}

}  // namespace
