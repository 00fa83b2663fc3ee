#include <gtest/gtest.h>

#include <vector>

#include "app/startup.h"
#include "media/file_utils.h"
#include "platform/instance_lock.h"
#include "unit/test_support.h"

namespace {

TEST(Shutdown, CleansRuntimeFolders) {
  TempAppFolder dir;
  dir.write("web/conf/keep.json", R"({"playlist":[{"url":"used.mp4"}]})");
  dir.write("web/conf/empty.json", R"({"playlist":[]})");
  dir.write("web/conf/broken.json", "{oops");
  dir.write("web/media/used.mp4", "u");
  dir.write("web/media/unused.png", "n");
  dir.write("web/firmware/fw1.bin", "f");
  dir.write("web/firmware/fw2.bin", "f");
  dir.write("web/firmware/sub/nested.bin", "n");

  setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  InstanceLock lock;
  std::vector<std::string> shown;
  Startup startup =
      startApplication(dir.path(), lock, [&](const std::string& m) { shown.push_back(m); });
  ASSERT_EQ(startup.exitCode, 0) << (shown.empty() ? "" : shown[0]);
  shutdownApplication(*startup.context);

  EXPECT_EQ(listFiles(dir.file("web/conf")),
            (std::vector<std::string>{"broken.json", "keep.json"}));
  EXPECT_EQ(listFiles(dir.file("web/media")), std::vector<std::string>{"used.mp4"});
  EXPECT_TRUE(listFiles(dir.file("web/firmware")).empty());
  EXPECT_TRUE(dir.exists("web/firmware/sub/nested.bin"));
}

TEST(Shutdown, StartupCreatesMissingRuntimeFolders) {
  TempAppFolder dir;
  std::filesystem::remove_all(dir.file("web"));
  setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  InstanceLock lock;
  Startup startup = startApplication(dir.path(), lock, [](const std::string&) {});
  ASSERT_EQ(startup.exitCode, 0);
  for (const char* folder : {"web/conf", "web/media", "web/firmware"}) {
    EXPECT_TRUE(isDirectory(dir.file(folder))) << folder;
  }
  shutdownApplication(*startup.context);
}

TEST(Shutdown, PageSendsAreDroppedOnceShutdownBegan) {
  TempAppFolder dir;
  setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  InstanceLock lock;
  Startup startup = startApplication(dir.path(), lock, [](const std::string&) {});
  ASSERT_EQ(startup.exitCode, 0);
  std::vector<std::string> delivered;
  startup.context->page.connect([&](std::string text) { delivered.push_back(text); });
  sendToPage(*startup.context, "before");
  shutdownApplication(*startup.context);
  sendToPage(*startup.context, "after");
  EXPECT_EQ(delivered, std::vector<std::string>{"before"});
}

}  // namespace
