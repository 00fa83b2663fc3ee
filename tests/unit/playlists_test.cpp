#include "commands/playlists.h"

#include <gtest/gtest.h>

#include "media/file_utils.h"
#include "unit/test_support.h"

using nlohmann::json;

namespace {

json item(const std::string& url) {
  return {{"duration", 10}, {"id", 7}, {"title", url}, {"type", 1}, {"url", url}};
}

std::string playlistText(std::initializer_list<std::string> urls) {
  json items = json::array();
  for (const auto& url : urls) items.push_back(item(url));
  return dumpCompact(json{{"playlist", items}});
}

TEST(Playlists, SaveWritesOneCompactSortedLine) {
  TempAppFolder dir;
  json items = json::parse(R"([{"url":"x.mp4","type":1,"title":"Grüße","id":3,"duration":5},
                              {"url":"y.png","type":1,"title":"b","id":4,"duration":6}])");
  ASSERT_TRUE(savePlaylist(dir.path(), "a.json", items));
  EXPECT_EQ(dir.read("web/conf/a.json"),
            R"({"playlist":[{"duration":5,"id":3,"title":"Grüße","type":1,"url":"x.mp4"},)"
            R"({"duration":6,"id":4,"title":"b","type":1,"url":"y.png"}]})");
  EXPECT_EQ(readPlaylistFile(dir.path(), "a.json"), json({{"playlist", items}}));
}

TEST(Playlists, UnsafeNamesTouchNothing) {
  TempAppFolder dir;
  dir.write("web/x.json", "keep");
  dir.write("web/conf/sub/b.json", "keep");
  for (const char* name : {"../x.json", "sub/b.json", "..", ".", "", "a\\b.json"}) {
    EXPECT_FALSE(savePlaylist(dir.path(), name, json::array({item("m")}))) << name;
    EXPECT_FALSE(removePlaylist(dir.path(), name)) << name;
    EXPECT_FALSE(readPlaylistFile(dir.path(), name)) << name;
  }
  EXPECT_EQ(dir.read("web/x.json"), "keep");
  EXPECT_EQ(dir.read("web/conf/sub/b.json"), "keep");
}

TEST(Playlists, ListingPrunesEmptyPlaylistsOnly) {
  TempAppFolder dir;
  dir.write("web/conf/a.json", playlistText({"x.mp4"}));
  dir.write("web/conf/b.json", R"({"playlist":[]})");
  dir.write("web/conf/c.json", R"({"other":1})");
  dir.write("web/conf/broken.json", R"({"playlist":[{"url")");
  dir.write("web/conf/notes", playlistText({"y.mp4"}));
  dir.write("web/conf/zero.json", "");
  EXPECT_EQ(listPlaylists(dir.path()), json({"a.json", "broken.json", "notes", "zero.json"}));
}

TEST(Playlists, RemoveKeepsMediaOtherPlaylistsUse) {
  TempAppFolder dir;
  dir.write("web/conf/a.json", playlistText({"shared.mp4", "own.png", "own.png", "../../x"}));
  dir.write("web/conf/c.json", playlistText({"shared.mp4"}));
  dir.write("web/conf/broken.json", "not json at all");
  dir.write("web/media/shared.mp4", "s");
  dir.write("web/media/own.png", "o");
  dir.write("x", "outside");
  EXPECT_TRUE(removePlaylist(dir.path(), "a.json"));
  EXPECT_FALSE(dir.exists("web/conf/a.json"));
  EXPECT_TRUE(dir.exists("web/media/shared.mp4"));
  EXPECT_FALSE(dir.exists("web/media/own.png"));
  EXPECT_TRUE(dir.exists("x"));
  EXPECT_FALSE(removePlaylist(dir.path(), "a.json"));
}

TEST(Playlists, RemoveUnusedMediaScansEveryOtherPlaylist) {
  struct Case {
    const char* name;
    std::string other;  // content of web/conf/other.json
    bool kept;
  } cases[] = {
      {"named by another playlist", playlistText({"m.mp4"}), true},
      {"named only by a different case", playlistText({"M.mp4"}), false},
      {"url not a string", R"({"playlist":[{"url":5},{"url":null}]})", false},
      {"items not objects", R"({"playlist":["m.mp4",1]})", false},
      {"not json", "m.mp4", false},
  };
  for (const auto& c : cases) {
    TempAppFolder dir;
    dir.write("web/conf/self.json", playlistText({"m.mp4"}));
    dir.write("web/conf/other.json", c.other);
    dir.write("web/media/m.mp4", "m");
    EXPECT_TRUE(removeUnusedMedia(dir.path(), "m.mp4", "self.json")) << c.name;
    EXPECT_EQ(dir.exists("web/media/m.mp4"), c.kept) << c.name;
  }
}

TEST(Playlists, RemoveUnusedMediaReportsFailedDeletion) {
  TempAppFolder dir;
  EXPECT_FALSE(removeUnusedMedia(dir.path(), "missing.mp4", ""));
  EXPECT_FALSE(removeUnusedMedia(dir.path(), "../config.yaml", ""));
  EXPECT_TRUE(dir.exists("config.yaml"));
}

}  // namespace
