#include "commands/dispatcher.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <vector>

#include "app/app_context.h"
#include "app/startup.h"
#include "base/clock.h"
#include "commands/playlists.h"
#include "media/file_reading.h"
#include "platform/file_dialog.h"
#include "platform/instance_lock.h"
#include "store/store.h"
#include "unit/test_platform.h"
#include "unit/test_support.h"

using nlohmann::json;

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

TEST_F(Dispatcher, EchoesRoutesAndPrunesTheListing) {
  dir.write({"web/conf/a.json", R"({"playlist":[{"url":"m.mp4"}]})", "web/conf/empty.json",
             R"({"playlist":[]})", "web/conf/other.json", R"({"other":1})", "web/conf/broken.json",
             R"({"playlist":[{"url")", "web/conf/notes", R"({"playlist":[{"url":"n.mp4"}]})",
             "web/conf/zero.json", ""});
  const std::string listed = R"(["a.json","broken.json","notes","zero.json"])";
  const std::pair<std::string, std::string> cases[] = {
      {R"({"C":"get","T":"playlistFiles4Check","V":1,"P":""})",
       R"({"C":"get","P":)" + listed + R"(,"T":"playlistFiles4Check","V":1})"},
      {R"({"C":"get","T":"playlistFilesAnything","V":2})",
       R"({"C":"get","P":)" + listed + R"(,"T":"playlistFilesAnything","V":2})"},
      {R"({"V":2,"T":"x","C":"frobnicate","P":{"b":1,"a":"ü"}})",
       R"({"C":"frobnicate","P":{"a":"ü","b":1},"T":"x","V":2})"},
      {R"({"C":"set","T":"screen","V":1,"P":{"cmd":"1"}})", ""},
      {R"({"C":"open","T":"playlist","V":"v","P":"a.json"})",
       R"({"C":"open","P":{"playlist":[{"url":"m.mp4"}]},"T":"playlist","V":"v"})"},
      // Sorted, compact and unescaped as above; other types and unknown routes come back as sent.
      {R"({"C":"get","P":"","T":"playlistFile","V":1})", "="},
      {R"({"C":"deploy","P":{},"T":"nothing","V":1})", "="},
      {R"({"C":"remove","P":"a.json","T":"other","V":1})", "="}};
  for (const auto& [request, reply] : cases)
    EXPECT_EQ(dispatch(request), reply == "=" ? request : reply) << request;
  for (std::string name : {"missing.json", "../config.yaml", "broken.json", "zero.json"})
    EXPECT_EQ(dispatch(R"({"C":"open","T":"playlist","V":1,"P":")" + name + "\"}"), "") << name;
  EXPECT_EQ(listFiles(dir.file("web/conf")), json::parse(listed).get<std::vector<std::string>>());
}

TEST_F(Dispatcher, UnsafeOrMalformedRequestsChangeNothing) {
  dir.write({"web/x.json", "keep", "web/conf/a.json", R"({"playlist":[{"url":"m.mp4"}]})",
             "web/media/m.mp4", "m"});
  // A name of the save temporaries would be deleted as a crash's left-over at the next start.
  for (std::string n : {"../x.json", "a/b.json", "..", "", ".quillora-save-AbC123", " ",
                        R"(a\tb.json)", R"(a\r\nb.json)", R"(\u001b.json)"}) {
    EXPECT_EQ(
        dispatch(R"({"T":"playlist","C":"save","V":1,"P":{"name":")" + n + R"(","playlist":[]}})"),
        R"({"C":"save","P":{"error":"not a playlist name: blank, or with a control character, '/' or '\\', or reserved","name":")" +
            n + R"(","status":"ERROR"},"T":"playlist","V":1})");
    EXPECT_EQ(
        dispatch(R"({"T":"playlist","C":"remove","V":1,"P":")" + n + R"("})"),
        R"({"C":"remove","P":{"name":")" + n + R"(","status":"ERROR"},"T":"playlist","V":1})");
  }
  for (std::string p : {R"("a.json")", R"({"name":"a.json"})", R"({"name":"a.json","playlist":{}})",
                        R"({"name":"a.json","playlist":[1]})", R"({"name":7,"playlist":[]})"})
    EXPECT_EQ(dispatch(R"({"C":"save","T":"playlist","V":1,"P":)" + p + "}"), "") << p;
  for (const char* request :
       {"", "not json", "[1,2]", R"({"C":"get"})", R"({"C":5,"T":"playlist"})",
        R"({"C":"remove","T":"playlist","V":1,"P":{"name":"a.json"}})",
        R"({"C":"open","T":"playlist","V":1,"P":1})",
        "{\"C\":\"save\",\"T\":\"playlist\",\"P\":{\"name\":\"\xff.json\",\"playlist\":[]}}"}) {
    EXPECT_EQ(dispatch(request), "") << request;
  }
  EXPECT_EQ(dir.read("web/x.json"), "keep");
  EXPECT_EQ(dir.read("web/conf/a.json"), R"({"playlist":[{"url":"m.mp4"}]})");
  EXPECT_EQ(listFiles(dir.file("web/conf")), std::vector<std::string>{"a.json"});
  EXPECT_TRUE(dir.exists("web/media/m.mp4"));
}

// Removing a playlist deletes the media no other playlist names; what is not a playlist, or
// names media in another way, keeps nothing.
TEST_F(Dispatcher, RemovingAPlaylistKeepsMediaOthersUse) {
  const std::pair<std::string, bool> others[] = {
      // clang-format off
      {R"({"playlist":[{"url":"m.mp4"}]})", true}, {R"({"playlist":[{"url":"M.mp4"}]})", false},
      {R"({"playlist":[{"url":5},{"url":null}]})", false}, {R"({"playlist":["m.mp4",1]})", false},
      {"m.mp4", false}
      // clang-format on
  };
  for (const auto& [other, kept] : others) {
    dir.write({"web/conf/self.json",
               R"({"playlist":[{"url":"m.mp4"},{"url":"m.mp4"},{"url":"../../x"}]})",
               "web/conf/other.json", other, "web/media/m.mp4", "m", "x", "outside"});
    EXPECT_EQ(dispatch(R"({"C":"remove","T":"playlist","V":1,"P":"self.json"})"),
              R"({"C":"remove","P":{"name":"self.json","status":"OK"},"T":"playlist","V":1})");
    EXPECT_EQ(dir.exists("web/media/m.mp4"), kept) << other;
    EXPECT_TRUE(dir.exists("x") && !dir.exists("web/conf/self.json"));
  }
}

// Every history request is answered; what cannot be used is refused with the reason, and a
// refused export makes no file.
TEST_F(Dispatcher, HistoryRequestsThatCannotBeUsedAreRefused) {
  openStore(*context);
  ASSERT_TRUE(context->store) << context->storeError;
  RunStart run;
  run.kind = "login";
  run.ips = {"10.0.0.1:80"};
  run.startedMs = nowMs();  // within the year the store keeps
  ASSERT_EQ(context->store->beginRun(run).value_or(0), 1);
  // Done with: a retry that went through by mistake would find nothing to send.
  context->store->recordStep({1, "10.0.0.1:80", run.startedMs, "login", "OK", {}, "confirmed"});
  context->store->endRun(1, run.startedMs);
  PreparedDialogs dialogs;
  context->dialogs = &dialogs;
  const std::string runId = R"(\"id\" must be a run id (a whole number above 0))";
  const std::string notObject = R"(the request's \"P\" must be an object)";
  const std::pair<std::string, std::string> cases[] = {
      // clang-format off
      {R"("C":"retry","P":{"id":1,"pass":"b"})", R"({"error":"the request needs \"user\" as a text","id":1,"status":"ERROR"})"},
      {R"("C":"retry","P":{"id":1,"user":"a"})", R"({"error":"the request needs \"pass\" as a text","id":1,"status":"ERROR"})"},
      {R"("C":"retry","P":{"id":1,"user":"a","pass":7})", R"({"error":"the request needs \"pass\" as a text","id":1,"status":"ERROR"})"},
      {R"("C":"retry","P":{"id":1.5,"user":"a","pass":"b"})", R"({"error":")" + runId + R"(","id":1.5,"status":"ERROR"})"},
      {R"("C":"retry","P":{"id":"1","user":"a","pass":"b"})", R"({"error":")" + runId + R"(","id":"1","status":"ERROR"})"},
      {R"("C":"retry","P":{"user":"a","pass":"b"})", R"({"error":"the request names no \"id\"","status":"ERROR"})"},
      {R"("C":"retry","P":"x")", R"({"error":")" + notObject + R"(","status":"ERROR"})"},
      {R"("C":"retry","P":{"id":99,"user":"a","pass":"b"})", R"({"error":"unknown run 99","id":99,"status":"ERROR"})"},
      {R"("C":"get","P":{"id":1.5})", R"({"error":")" + runId + R"(","id":1.5,"runs":[],"status":"ERROR"})"},
      {R"("C":"get","P":{"id":"1"})", R"({"error":")" + runId + R"(","id":"1","runs":[],"status":"ERROR"})"},
      {R"("C":"get","P":{"id":-1})", R"({"error":")" + runId + R"(","id":-1,"runs":[],"status":"ERROR"})"},
      {R"("C":"get","P":{"id":99})", R"({"error":"unknown run 99","id":99,"runs":[],"status":"ERROR"})"},
      {R"("C":"get","P":{"ip":5})", R"({"error":"\"ip\" must be a text","ip":5,"runs":[],"status":"ERROR"})"},
      {R"("C":"get","P":{"group":["a"]})", R"({"error":"\"group\" must be a text","group":["a"],"runs":[],"status":"ERROR"})"},
      {R"("C":"get","P":{"limit":"5"})", R"({"error":"\"limit\" must be a whole number","limit":"5","runs":[],"status":"ERROR"})"},
      {R"("C":"get","P":{"before":0})", R"x({"before":0,"error":"\"before\" must be a run id (a whole number above 0)","runs":[],"status":"ERROR"})x"},
      {R"("C":"get","P":[1])", R"({"error":")" + notObject + R"(","runs":[],"status":"ERROR"})"},
      {R"("C":"export","P":{"id":99})", R"({"error":"unknown run 99","id":99,"status":"ERROR"})"},
      {R"("C":"export","P":{"id":-5})", R"({"error":")" + runId + R"(","id":-5,"status":"ERROR"})"},
      {R"("C":"export","P":{"id":"1"})", R"({"error":")" + runId + R"(","id":"1","status":"ERROR"})"},
      {R"("C":"export","P":5)", R"({"error":")" + notObject + R"(","status":"ERROR"})"},
      {R"("C":"check","P":true)", R"({"error":")" + notObject + R"(","status":"ERROR"})"},
      // clang-format on
  };
  dialogs.addAnswer({dir.file("out.csv")});  // taken by the first export that is not refused
  for (const auto& [request, payload] : cases) {
    json answer = json::parse(dispatch(R"({"T":"history","V":1,)" + request + "}"), nullptr, false);
    ASSERT_TRUE(answer.is_object()) << request;
    EXPECT_EQ(answer["P"], json::parse(payload)) << request;
    EXPECT_FALSE(dir.exists("out.csv")) << request;
  }
  // The same filters of the right type are taken.
  EXPECT_EQ(
      json::parse(dispatch(R"({"T":"history","C":"get","V":1,"P":{"id":1}})"))["P"]["runs"].size(),
      1u);
  EXPECT_EQ(json::parse(dispatch(
                R"({"T":"history","C":"get","V":1,"P":{"ip":"10.0.0.1:80","before":2,"limit":5}})"))
                ["P"]["runs"][0]["id"],
            1);
  EXPECT_EQ(json::parse(dispatch(R"({"T":"history","C":"export","V":1,"P":{"id":1}})"))["P"],
            json::parse(R"({"id":1,"path":")" + dir.file("out.csv") + R"(","status":"OK"})"));
  // A page holds at most 1,000 runs, however many are asked for.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(dir.file("data/quillora.db").c_str(), &other), SQLITE_OK);
  sqlite3_busy_timeout(other, 5000);  // the store's own pruning may hold the file a moment
  const std::string now = std::to_string(nowMs());
  EXPECT_EQ(
      sqlite3_exec(other,
                   ("WITH RECURSIVE r(i) AS (SELECT 2 UNION ALL SELECT i + 1 FROM r WHERE i < "
                    "1100) INSERT INTO runs (id, kind, started, ended) SELECT i, 'login', " +
                    now + ", " + now + " FROM r")
                       .c_str(),
                   nullptr, nullptr, nullptr),
      SQLITE_OK);
  sqlite3_close(other);
  EXPECT_EQ(
      json::parse(dispatch(R"({"T":"history","C":"get","V":1,"P":{"limit":5000}})"))["P"]["runs"]
          .size(),
      1000u);
}

// Settings take effect and reach config.yaml, keeping its comments; anything refused changes
// nothing. A deploy's window is checked before anything is sent.
TEST_F(Dispatcher, HostSettingsAndWindowsAreCheckedBeforeUse) {
  dir.write("config.yaml", dir.read("config.yaml") + "sendCapMbps: 0  # all displays\n");
  const std::string off = R"("sendCapMbps":null,"sendCapPerDisplayMbps":null,"waveSize":null)";
  const std::pair<std::string, std::string> cases[] = {
      // clang-format off
      {R"({"C":"get","T":"settings"})", "{" + off + R"(,"status":"OK"})"},
      {R"({"C":"save","T":"settings","P":{"sendCapMbps":0}})", R"({"error":"\"sendCapMbps\" must be a number above 0 and at most 100000, or null for none","status":"ERROR"})"},
      {R"({"C":"save","T":"settings","P":{"sendCapPerDisplayMbps":-2}})", R"({"error":"\"sendCapPerDisplayMbps\" must be a number above 0 and at most 100000, or null for none","status":"ERROR"})"},
      {R"({"C":"save","T":"settings","P":{"waveSize":2.5}})", R"({"error":"\"waveSize\" must be a whole number above 0 and at most 10000, or null for none","status":"ERROR"})"},
      {R"({"C":"save","T":"settings","P":{"waveSize":"5"}})", R"({"error":"\"waveSize\" must be a whole number above 0 and at most 10000, or null for none","status":"ERROR"})"},
      {R"({"C":"save","T":"settings","P":[]})", R"({"error":"the request's \"P\" must be an object","status":"ERROR"})"},
      {R"({"C":"save","T":"settings","P":{"sendCapMbps":40.5,"waveSize":5}})", R"({"sendCapMbps":40.5,"sendCapPerDisplayMbps":null,"status":"OK","waveSize":5})"},
      {R"({"C":"save","T":"settings","P":{"waveSize":null}})", R"({"sendCapMbps":40.5,"sendCapPerDisplayMbps":null,"status":"OK","waveSize":null})"},
      {R"({"C":"deploy","T":"playlist","P":{"window":{"from":"05:00","to":"05:00"}}})", R"({"error":"the window starts and ends at the same time: it has no length","status":"badwindow"})"},
      {R"({"C":"set","T":"screen","P":{"window":{"from":"25:00","to":"05:00"}}})", R"({"error":"the window's \"from\" and \"to\" must be times of day from 00:00 to 23:59","status":"badwindow"})"},
      // clang-format on
  };
  for (const auto& [request, payload] : cases) {
    const json answer = json::parse(dispatch(request), nullptr, false);
    ASSERT_TRUE(answer.is_object()) << request;
    EXPECT_EQ(answer["P"], json::parse(payload)) << request;
  }
  EXPECT_EQ(context->waveSize, 0u);
  const std::string saved = dir.read("config.yaml");
  EXPECT_NE(saved.find("\nsendCapMbps: 40.5 # all displays\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("\nwaveSize: 0\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("language: "), std::string::npos) << saved;
  EXPECT_DOUBLE_EQ(loadConfig(dir.path())->sendCapMbps, 40.5);
}

// After a crash (the marker of a running process is still there) the whole file is checked
// by itself; the request starts the same check. Either answers at once and tells the page the
// outcome later.
TEST_F(Dispatcher, TheFullCheckRunsAfterACrashAndOnRequest) {
  PageMessages page(*context);
  auto outcome = [&](size_t count) {
    auto told = page.await(count, std::chrono::seconds(10));
    return told.size() >= count ? json::parse(told[count - 1])["P"] : json();
  };
  dir.write("data/quillora.db.running", "running\n");
  openStore(*context);
  ASSERT_TRUE(context->store) << context->storeError;
  EXPECT_EQ(outcome(1), json::parse(R"({"result":"ok","status":"OK"})"));
  const json answer = json::parse(dispatch(R"({"T":"history","C":"check","V":1,"P":{}})"))["P"];
  EXPECT_TRUE(answer == json::parse(R"({"status":"running"})") || answer == outcome(2)) << answer;
  EXPECT_EQ(outcome(2), json::parse(R"({"result":"ok","status":"OK"})"));
}

TEST(Shutdown, StartAndExitCleanTheRuntimeFolders) {
  TempAppFolder dir;
  dir.write({"web/conf/keep.json", R"({"playlist":[{"url":"used.mp4"}]})", "web/conf/empty.json",
             R"({"playlist":[]})", "web/conf/broken.json", "{oops", "web/media/used.mp4", "u",
             "web/media/unused.png", "n"});
  std::filesystem::remove_all(dir.file("web/firmware"));
  setEnvironment("XDG_RUNTIME_DIR", dir.path());
  std::vector<std::string> shown;
  auto show = [&](const std::string& m) { shown.push_back(m); };
  InstanceLock lock, other;
  lock.setRole("quillora-cli --serve");
  Startup startup = startApplication(dir.path(), lock, show);
  ASSERT_EQ(startup.exitCode, 0);
  EXPECT_EQ(startApplication(dir.path(), other, show).exitCode, kExitOtherInstance);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].rfind(kOtherInstanceMessage, 0), 0u) << shown[0];
#ifndef _WIN32  // a named mutex holds no text
  EXPECT_NE(shown[0].find(" It is quillora-cli --serve, process "), std::string::npos) << shown[0];
#endif
  EXPECT_TRUE(isDirectory(dir.file("web/firmware"))) << "missing runtime folders are made";
  dir.write({"web/firmware/fw1.bin", "f", "web/firmware/sub/nested.bin", "n"});
  std::vector<std::string> delivered;
  startup.context->page.connect([&](std::string text) { delivered.push_back(text); });
  sendToPage(*startup.context, "before");
  shutdownApplication(*startup.context);
  sendToPage(*startup.context, "after");
  EXPECT_EQ(delivered, std::vector<std::string>{"before"}) << "sends stop once shutdown began";
  EXPECT_EQ(listFiles(dir.file("web/conf")),
            (std::vector<std::string>{"broken.json", "keep.json"}));
  EXPECT_EQ(listFiles(dir.file("web/media")), std::vector<std::string>{"used.mp4"});
  EXPECT_TRUE(listFiles(dir.file("web/firmware")).empty());
  EXPECT_TRUE(dir.exists("web/firmware/sub/nested.bin"));
}

}  // namespace
