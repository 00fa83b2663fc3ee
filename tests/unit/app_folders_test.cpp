#include "app/app_folders.h"

#include <gtest/gtest.h>

#include "app/config.h"
#include "unit/test_support.h"

namespace {

// An installed tree below the temporary folder: usr/bin beside usr/share/quillora, as the
// package lays it out, and a build folder that can run on its own.
struct Layout {
  TempAppFolder root;
  Layout() {
    root.write("usr/share/quillora/config.yaml", kTestConfig);
    root.write("usr/share/quillora/web/index.html", "page");
    root.write("usr/bin/.keep", "");
    root.write("build/config.yaml", kTestConfig);
  }
};

TEST(AppFolders, BuildFolderOrOptionElseTheUsersOwnFolder) {
  Layout at;
  const std::string r = at.root.path();
  const std::string installed = r + "/usr/share/quillora/web";
  struct Case {
    std::string option, exe;
    UserEnvironment user;
    std::string data, page, linked;
    bool loads = true;  // the folder it picks holds a usable config.yaml
  } cases[] = {
      // A build folder that can run wins over the user's folder.
      {"", r + "/build", {r + "/xdg", r + "/home"}, r + "/build", r + "/build/web", ""},
      {r + "/mine", r + "/usr/bin", {r + "/xdg", r}, r + "/mine", r + "/mine/web", ""},
      {"", r + "/usr/bin", {r + "/xdg", r + "/home"}, r + "/xdg/quillora", installed, "/usr/share"},
      // A relative XDG_DATA_HOME is ignored, as the convention says.
      {"",
       r + "/usr/bin",
       {"xdg", r + "/home"},
       r + "/home/.local/share/quillora",
       installed,
       "/usr/share"},
      {"",
       r + "/usr/bin",
       {"", r + "/home"},
       r + "/home/.local/share/quillora",
       installed,
       "/usr/share"},
      // No home folder at all (Windows): the program's own folder, even an unusable one.
      {"", r + "/usr/bin", {}, r + "/usr/bin", r + "/usr/bin/web", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.exe + " " + c.user.xdgDataHome);
    AppFolders folders = resolveAppFolders(c.option, c.exe, c.user);
    EXPECT_EQ(folders.data, c.data);
    EXPECT_EQ(folders.page, c.page);
    EXPECT_EQ(folders.linkedRoot, c.linked);
    EXPECT_EQ(c.option.empty() && loadConfig(folders.data, folders.page).has_value(),
              c.option.empty() && c.loads);
  }
}

TEST(AppFolders, TheUsersConfigSurvivesAndLanguagesComeFromThePage) {
  Layout at;
  const std::string r = at.root.path();
  at.root.write("home/.local/share/quillora/config.yaml",
                "notification: {port: 1}\nsearch: {port: 2}\nlanguage: de\n");
  at.root.write("usr/share/quillora/web/lang/de/strings.json", "{}");
  AppFolders folders = resolveAppFolders("", r + "/usr/bin", {"", r + "/home"});
  auto config = loadConfig(folders.data, folders.page);
  ASSERT_TRUE(config) << config.error();
  EXPECT_EQ(config->notificationPort, 1);
  EXPECT_EQ(config->language, "de");
}

}  // namespace
