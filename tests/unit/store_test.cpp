#include "store/store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <functional>
#include <future>
#include <mutex>

#include "app/app_context.h"
#include "app/startup.h"
#include "commands/dispatcher.h"
#include "platform/file_dialog.h"
#include "unit/test_platform.h"
#include "unit/test_support.h"

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr const char* kDb = "data/quillora.db";

// Runs statements on the file through a connection of its own, as another program would.
// With `keepLog` the write-ahead log is left as a crash would leave it.
void sql(const std::string& path, const std::string& statements, bool keepLog = false) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, keepLog ? 1 : 0, nullptr);
  EXPECT_EQ(sqlite3_exec(db, statements.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_close(db);
}

// One number from the file, read as another program would.
int64_t scalar(const std::string& path, const std::string& query) {
  sqlite3* db = nullptr;
  sqlite3_stmt* statement = nullptr;
  int64_t value = -1;
  if (sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
      sqlite3_prepare_v2(db, query.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW)
    value = sqlite3_column_int64(statement, 0);
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return value;
}

RunStart runOf(const char* kind, std::vector<std::string> ips) {
  RunStart run;
  run.kind = kind;
  run.ips = std::move(ips);
  run.startedMs = 1'700'000'000'000;
  return run;
}

std::string csvOf(Store& store, int64_t id) {
  std::string csv;
  EXPECT_TRUE(store.exportCsv(id, [&csv](const std::string& piece) {
    csv += piece;
    return true;
  }));
  return csv;
}

// A store that was written by this program and closed.
void writeStore(const TempAppFolder& dir) {
  auto opened = Store::open(dir.path());
  ASSERT_TRUE(opened) << opened.error();
  for (int i = 1; i < 200; ++i) {
    ASSERT_TRUE((*opened)->addDisplay(
        "10.0." + std::to_string(i / 100) + "." + std::to_string(i % 100) + ":80", i));
  }
}

TEST(StoreOpen, RefusesWhatItCannotUseAndLeavesItAsItIs) {
  struct Case {
    const char* name;
    std::function<void(TempAppFolder&)> prepare;
    const char* error;  // empty: it opens
  } cases[] = {
      {"new folder", [](TempAppFolder&) {}, ""},
      {"own store again", writeStore, ""},
      {"newer schema",
       [](TempAppFolder& d) {
         fs::create_directory(d.file("data"));
         sql(d.file(kDb), "PRAGMA journal_mode = WAL; CREATE TABLE t (x); PRAGMA user_version = 7;",
             true);
       },
       "schema 7; this one knows up to 2"},
      {"not a database", [](TempAppFolder& d) { d.write(kDb, std::string(4096, 'x')); },
       "is not a database"},
      {"damaged page",
       [](TempAppFolder& d) {
         writeStore(d);
         std::string bytes = d.read(kDb);
         bytes.replace(2 * 4096 + 10, 2000, std::string(2000, '\xA5'));
         d.write(kDb, bytes);
       },
       "is damaged"},
      {"truncated",
       [](TempAppFolder& d) {
         writeStore(d);
         d.write(kDb, d.read(kDb).substr(0, 4096 + 100));
       },
       "damaged"},
      {"data is a file", [](TempAppFolder& d) { d.write("data", "not a folder"); },
       "cannot be written"},
  };
  for (auto& c : cases) {
    TempAppFolder dir;
    c.prepare(dir);
    const std::string target = dir.exists(kDb) ? kDb : "data";
    const std::string before = dir.exists(target) ? dir.read(target) : "";
    auto opened = Store::open(dir.path());
    if (!*c.error) {
      EXPECT_TRUE(opened) << c.name << ": " << opened.error();
      if (kModeBits) {
        EXPECT_EQ(fs::status(dir.file("data")).permissions() & fs::perms::all,
                  fs::perms::owner_all);
      }
      continue;
    }
    ASSERT_FALSE(opened) << c.name;
    EXPECT_NE(opened.error().find(c.error), std::string::npos) << c.name << ": " << opened.error();
    EXPECT_EQ(dir.read(target), before) << c.name;
  }
}

TEST(StoreOpen, WaitsForAndThenRefusesAStoreLockedByAnotherProgram) {
  TempAppFolder dir;
  writeStore(dir);
  const std::string before = dir.read(kDb);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(dir.file(kDb).c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  auto opened = Store::open(dir.path());
  sqlite3_close(other);
  ASSERT_FALSE(opened);
  EXPECT_NE(opened.error().find("locked by another program"), std::string::npos) << opened.error();
  EXPECT_EQ(dir.read(kDb), before);
}

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = Store::open(dir.path());
    ASSERT_TRUE(opened) << opened.error();
    store = std::move(*opened);
  }
  TempAppFolder dir;
  std::unique_ptr<Store> store;
};

TEST_F(StoreTest, InventoryAndGroupRules) {
  using Op = std::function<Result<>(Store&)>;
  auto add = [](std::string ip) -> Op { return [ip](Store& s) { return s.addDisplay(ip, 5); }; };
  auto group = [](std::string name, std::vector<std::string> ips, std::string old = "") -> Op {
    return [=](Store& s) { return s.saveGroup(name, ips, old); };
  };
  struct Case {
    Op op;
    const char* error;  // empty: accepted
  } cases[] = {
      {add("10.0.0.1:80"), ""},
      {add("10.0.0.2:8080"), ""},
      {add("10.0.0.1:80"), ""},
      {add("10.0.0.1"), "malformed"},
      {add("10.0.0.256:80"), "malformed"},
      {add("10.0.0.1:0"), "malformed"},
      {add("10.0.0.1:65536"), "malformed"},
      {add("10.0.0.01:80"), "malformed"},
      {add("10.0.0.1:80x"), "malformed"},
      {add("host:80"), "malformed"},
      {add("10.0.0.3:"), "malformed"},
      {add("0.0.0.0:80"), "not a display's"},
      {add("255.255.255.255:80"), "not a display's"},
      {add("224.0.0.1:80"), "not a display's"},
      {add("239.255.255.250:80"), "not a display's"},
      {add("240.0.0.1:80"), "not a display's"},
      {add("223.255.255.254:80"), ""},
      {[](Store& s) { return s.removeDisplay("10.9.9.9:80"); }, "unknown display 10.9.9.9:80"},
      {group("hall", {"10.0.0.1:80", "10.0.0.7:80"}), "unknown display 10.0.0.7:80"},
      {group("", {}), "1 to 64 bytes"},
      {group(std::string(65, 'g'), {}), "1 to 64 bytes"},
      {group("bad\xff", {}), "1 to 64 bytes"},
      {group(" ", {}), "not blank"},
      {group(std::string("a\0b", 3), {}), "control characters"},
      {group("a\tb", {}), "control characters"},
      {group("a\x7f", {}), "control characters"},
      {group("hall", {"10.0.0.2:8080", "10.0.0.1:80"}), ""},
      {group("lobby", {}), ""},
      {group("foyer", {}, "nowhere"), "unknown group nowhere"},
      {group("lobby", {"10.0.0.1:80"}, "hall"), "already exists"},
      {group("entrée", {"10.0.0.1:80", "10.0.0.2:8080"}, "hall"), ""},
      {[](Store& s) { return s.removeDisplay("10.0.0.2:8080"); }, ""},
      {[](Store& s) { return s.removeDisplay("223.255.255.254:80"); }, ""},
      {[](Store& s) { return s.removeGroup("hall"); }, "unknown group hall"},
      {[](Store& s) { return s.removeGroup("lobby"); }, ""},
  };
  int row = 0;
  for (auto& c : cases) {
    const Result<> done = c.op(*store);
    const std::string error = done ? "" : done.error();
    EXPECT_EQ(done.has_value(), !*c.error) << "row " << row << ": " << error;
    EXPECT_NE(error.find(c.error), std::string::npos) << "row " << row << ": " << error;
    ++row;
  }
  EXPECT_EQ(store->groups(), json::parse(R"([{"name":"entrée","ip":["10.0.0.1:80"]}])"));
  EXPECT_EQ(store->groupMembers("hall"), std::nullopt);
  json displays = store->displays();
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_EQ(displays[0]["groups"], json::parse(R"(["entrée"])"));
  EXPECT_EQ(displays[0]["manual"], true);
  EXPECT_TRUE(displays[0]["lastSeen"].is_null());
}

TEST_F(StoreTest, ARunReadsBackAndNoCredentialReachesTheDisk) {
  store->displaySeen("10.0.0.1:80",
                     {{"DeviceName", "Hall"},
                      {"SerialNumber", "S1"},
                      {"ScreenSupport", "true"},
                      {"user", "admin"}},
                     1000);
  store->displaySeen("10.0.0.1:80", {{"DeviceName", "Hall 2"}}, 2000);
  ASSERT_TRUE(store->saveGroup("hall", {"10.0.0.1:80"}, ""));
  RunStart start = runOf("playlist", {"10.0.0.1:80", "10.0.0.9:80"});
  start.playlist = "=cmd|' /c calc'!A0";
  start.request = {{"user", "admin"},
                   {"pass", "Sekr1tPassw0rd"},
                   {"P", {{"pass", "Sekr1tPassw0rd"}, {"name", "lobby, \"main\""}}}};
  start.files = {{"clip.mp4", 42, "ab"}};
  int64_t id = store->beginRun(start).value_or(0);
  ASSERT_GT(id, 0);
  EXPECT_GT(store->beginRun(runOf("login", {})).value_or(0), id);
  store->recordStep({id, "10.0.0.1:80", 1'700'000'000'100, "login", "OK", {}, ""});
  store->recordStep({id,
                     "10.0.0.1:80",
                     1'700'000'000'200,
                     "playlist",
                     "finish",
                     {{"pass", "Sekr1tPassw0rd"}, {"note", "a,b\n\"c\""}},
                     "delivered"});
  store->recordStep({id, "10.0.0.9:80", 1'700'000'000'250, "login", "ERROR", {}, ""});
  store->endRun(id, 1'700'000'000'300);

  json runs = store->history(10, "", "");
  ASSERT_EQ(runs.size(), 2u);
  json& first = runs[1];
  EXPECT_EQ(first["id"], id);
  EXPECT_EQ(first["ended"], 1'700'000'000'300);
  EXPECT_EQ(first["files"], json::parse(R"([{"name":"clip.mp4","size":42,"sha256":"ab"}])"));
  EXPECT_EQ(first["displays"][0]["state"], "delivered");
  EXPECT_EQ(first["displays"][0]["detail"]["note"], "a,b\n\"c\"");
  EXPECT_EQ(first["displays"][1]["state"], "pending");
  for (auto [ip, group, count] : {std::tuple{"10.0.0.9:80", "", 1u},
                                  {"10.0.0.5:80", "", 0u},
                                  {"", "hall", 1u},
                                  {"", "nobody", 0u}})
    EXPECT_EQ(store->history(10, ip, group).size(), count) << ip << group;
  EXPECT_EQ(store->history(1, "", "")[0]["kind"], "login");

  json run = store->run(id);
  EXPECT_EQ(run["request"], json::parse(R"({"P":{"name":"lobby, \"main\""}})"));
  json steps = run["displays"][0]["steps"];
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[1]["seq"], 2);
  EXPECT_EQ(steps[1]["step"], "playlist");
  EXPECT_EQ(run["displays"][1]["steps"][0]["seq"], 1);
  EXPECT_TRUE(store->run(id + 100).is_null());
  json display = store->displays()[0];
  EXPECT_EQ(display["name"], "Hall 2");
  EXPECT_EQ(display["firstSeen"], 1000);
  EXPECT_EQ(display["capabilities"], json::parse(R"({"ScreenSupport":"true"})"));
  EXPECT_EQ(display["lastRun"], id);
  EXPECT_EQ(display["lastState"], "delivered");

  EXPECT_EQ(
      csvOf(*store, id),
      "run,started,kind,playlist,group,retry_of,ip,state,updated,detail\r\n" + std::to_string(id) +
          ",2023-11-14T22:13:20.000Z,playlist,'=cmd|' /c calc'!A0,,,10.0.0.1:80,"
          "delivered,2023-11-14T22:13:20.200Z,\"{\"\"note\"\":\"\"a,b\\n"
          "\\\"\"c\\\"\"\"\",\"\"status\"\":\"\"finish\"\",\"\"step\"\":\"\"playlist\"\"}\"\r\n" +
          std::to_string(id) +
          ",2023-11-14T22:13:20.000Z,playlist,'=cmd|' /c calc'!A0,,,10.0.0.9:80,pending,"
          "2023-11-14T22:13:20.000Z,{}\r\n");
  store->flush();
  for (const auto& entry : fs::directory_iterator(dir.file("data"))) {
    std::string bytes = dir.read("data/" + entry.path().filename().string());
    EXPECT_EQ(bytes.find("Sekr1tPassw0rd"), std::string::npos) << entry.path();
    EXPECT_EQ(bytes.find("admin"), std::string::npos) << entry.path();
  }
}

// What a spreadsheet would run, or a reader would cut, never reaches the export as it came.
TEST_F(StoreTest, ExportedCellsAreDefused) {
  const std::pair<std::string, std::string> cases[] = {
      {"-2+3", "'-2+3"},
      {"@SUM(A1)", "'@SUM(A1)"},
      {"+1", "'+1"},
      {"\t=1+1", "'\t=1+1"},
      {"\r=1+1", "\"'\r=1+1\""},
      {"\n=1+1", "\"'\n=1+1\""},
      {std::string("lob\0by", 7), "lobby"},
      {std::string("\0=1", 3), "'=1"},
      {"a-b", "a-b"},
  };
  for (const auto& [playlist, cell] : cases) {
    RunStart start = runOf("playlist", {"10.0.0.1:80"});
    start.playlist = playlist;
    const int64_t id = store->beginRun(start).value_or(0);
    ASSERT_GT(id, 0);
    const std::string csv = csvOf(*store, id);
    EXPECT_NE(csv.find(",playlist," + cell + ",,,10.0.0.1:80,"), std::string::npos) << csv;
    EXPECT_EQ(csv.find('\0'), std::string::npos) << cell;
  }
}

TEST_F(StoreTest, AfterCallbacksRunInOrderOnceTheStepIsCommitted) {
  int64_t id = store->beginRun(runOf("playlist", {"10.0.0.1:80"})).value_or(0);
  sqlite3* reader = nullptr;
  ASSERT_EQ(sqlite3_open(dir.file(kDb).c_str(), &reader), SQLITE_OK);
  std::mutex mutex;
  std::vector<int64_t> seen;
  for (int i = 1; i <= 40; ++i) {
    store->recordStep({id, "10.0.0.1:80", i, "device", "OK", {}, "delivered"}, [&, i](auto&) {
      sqlite3_stmt* query = nullptr;
      sqlite3_prepare_v2(reader, "SELECT count(*) FROM steps WHERE at = ?1", -1, &query, nullptr);
      sqlite3_bind_int64(query, 1, i);
      std::lock_guard lock(mutex);
      seen.push_back(sqlite3_step(query) == SQLITE_ROW ? i * sqlite3_column_int64(query, 0) : -i);
      sqlite3_finalize(query);
    });
  }
  store->flush();
  // Another program holds the database: what is lost says why, in SQLite's first word on it.
  ASSERT_EQ(sqlite3_exec(reader, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  std::string lost;
  store->recordStep({id, "10.0.0.1:80", 41, "device", "OK", {}, ""},
                    [&](const std::string& error) { lost = error; });
  const Result<> refused = store->addDisplay("10.0.0.9:80", 1);
  EXPECT_EQ(lost, "database is locked");
  EXPECT_EQ(refused, failure("The store could not be written: database is locked"));
  sqlite3_close(reader);
  std::vector<int64_t> expected;
  for (int i = 1; i <= 40; ++i) expected.push_back(i);
  EXPECT_EQ(seen, expected);
}

std::vector<int64_t> idsOf(const json& runs) {
  std::vector<int64_t> ids;
  for (const auto& run : runs) ids.push_back(run["id"].get<int64_t>());
  return ids;
}

// Runs 1..8 started a day apart (run 1 eight days before `kNow`), 2 displays, a file and a
// large step each; run 2 never ended.
constexpr int64_t kDay = 24 * 3600 * 1000;
constexpr int64_t kNow = 1'800'000'000'000;

void writeRuns(Store& store) {
  for (int64_t i = 1; i <= 8; ++i) {
    RunStart run =
        runOf("playlist", {"10.0.0.1:80", "10.0.0." + std::to_string(i % 2 + 2) + ":80"});
    run.startedMs = kNow - (9 - i) * kDay;
    run.files = {{"clip" + std::to_string(i) + ".mp4", 10, "ab"}};
    ASSERT_EQ(store.beginRun(run).value_or(0), i);
    // Pages of their own, which go back to the file system when the run is removed.
    store.recordStep({i,
                      "10.0.0.1:80",
                      run.startedMs + 1,
                      "login",
                      "OK",
                      {{"note", std::string(6000, static_cast<char>('a' + i))}},
                      "confirmed"});
    if (i != 2) store.endRun(i, run.startedMs + 2);
  }
  store.flush();
}

TEST_F(StoreTest, PruningRemovesExactlyTheRunsBeyondTheLimits) {
  const struct Case {
    Retention keep;
    std::vector<int64_t> left;  // newest first
  } cases[] = {
      {{0, 0}, {8, 7, 6, 5, 4, 3, 2, 1}},
      {{0, 3}, {8, 7, 6, 2}},  // a run still going stays
      {{0, 8}, {8, 7, 6, 5, 4, 3, 2, 1}},
      {{3 * kDay, 0}, {8, 7, 6, 2}},            // started 3, 2 and 1 days ago
      {{5 * kDay + 1, 0}, {8, 7, 6, 5, 4, 2}},  // run 4 started 5 days ago, within
      {{5 * kDay + 1, 2}, {8, 7, 2}},
      {{kDay / 2, 0}, {2}},
  };
  for (const auto& c : cases) {
    const std::string label =
        std::to_string(c.keep.maxAgeMs) + " ms, " + std::to_string(c.keep.maxRuns) + " runs";
    store.reset();
    fs::remove_all(dir.file("data"));
    store = std::move(*Store::open(dir.path()));
    ASSERT_EQ(scalar(dir.file(kDb), "PRAGMA auto_vacuum"), 2) << "a new file, made to shrink";
    writeRuns(*store);
    Result<int64_t> removed = store->prune(c.keep, kNow);
    ASSERT_TRUE(removed) << label << ": " << removed.error();
    EXPECT_EQ(*removed, static_cast<int64_t>(8 - c.left.size())) << label;
    EXPECT_EQ(idsOf(store->history(100, "", "")), c.left) << label;
    store.reset();
    // Nothing of a removed run stays behind, and its pages went back to the file system.
    const std::string file = dir.file(kDb);
    const auto rows = static_cast<int64_t>(c.left.size());
    EXPECT_EQ(scalar(file, "SELECT count(DISTINCT run) FROM run_displays"), rows) << label;
    EXPECT_EQ(scalar(file, "SELECT count(DISTINCT run) FROM run_files"), rows) << label;
    EXPECT_EQ(scalar(file, "SELECT count(DISTINCT run) FROM steps"), rows) << label;
    EXPECT_EQ(scalar(file, "PRAGMA freelist_count"), 0) << label;
    store = std::move(*Store::open(dir.path()));
  }
}

TEST_F(StoreTest, PruningConvertsAFileMadeWithoutIncrementalVacuumOnce) {
  writeRuns(*store);
  store.reset();
  sql(dir.file(kDb), "PRAGMA auto_vacuum = NONE; VACUUM;");
  ASSERT_EQ(scalar(dir.file(kDb), "PRAGMA auto_vacuum"), 0);
  store = std::move(*Store::open(dir.path()));
  EXPECT_EQ(store->prune({0, 4}, kNow).value_or(-1), 3);
  store.reset();
  EXPECT_EQ(scalar(dir.file(kDb), "PRAGMA auto_vacuum"), 2);
  EXPECT_EQ(scalar(dir.file(kDb), "SELECT count(*) FROM runs"), 5);
}

TEST_F(StoreTest, HistoryPagesByRunId) {
  writeRuns(*store);
  const struct Case {
    size_t limit;
    int64_t before;
    const char* ip;
    std::vector<int64_t> ids;
  } cases[] = {
      {3, 0, "", {8, 7, 6}},
      {3, 6, "", {5, 4, 3}},
      {3, 3, "", {2, 1}},
      {3, 1, "", {}},
      {2, 100, "", {8, 7}},
      {2, 8, "10.0.0.2:80", {6, 4}},
      {5, 5, "10.0.0.3:80", {3, 1}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(idsOf(store->history(c.limit, c.ip, "", c.before)), c.ids)
        << c.limit << " before " << c.before << " " << c.ip;
}

TEST_F(StoreTest, TheFullCheckRunsBesideTheWriterAndFindsADamagedJournal) {
  writeRuns(*store);
  auto check = [this] {
    std::promise<CheckStatus> outcome;
    EXPECT_TRUE(store->startCheck([&](const CheckStatus& s) { outcome.set_value(s); }));
    return outcome.get_future().get();
  };
  EXPECT_EQ(check().result, "ok");
  EXPECT_EQ(store->checkStatus().state, CheckStatus::State::kOk);
  // The journal's pages are not read at start: the file opens, and the check finds the damage.
  const int64_t page =
      scalar(dir.file(kDb), "SELECT rootpage FROM sqlite_schema WHERE name = 'steps'");
  store.reset();
  EXPECT_FALSE(dir.exists(std::string(kDb) + ".running")) << "a clean close leaves no marker";
  std::string bytes = dir.read(kDb);
  bytes.replace((page - 1) * 4096 + 8, 200, std::string(200, '\xA5'));
  dir.write(kDb, bytes);
  dir.write(std::string(kDb) + ".running", "running\n");
  auto opened = Store::open(dir.path());
  ASSERT_TRUE(opened) << opened.error();
  store = std::move(*opened);
  EXPECT_TRUE(store->uncleanShutdown());
  CheckStatus damaged = check();
  EXPECT_EQ(damaged.state, CheckStatus::State::kDamaged);
  EXPECT_NE(damaged.result, "ok");
}

TEST(StoreMessages, AnswerThePageWithAndWithoutAStore) {
  TempAppFolder dir;
  auto context = makeContext(dir);
  ASSERT_TRUE(context);
  openStore(*context);
  ASSERT_TRUE(context->store) << context->storeError;
  PreparedDialogs dialogs;
  dialogs.addAnswer({dir.file("out/history.csv")});
  dialogs.addAnswer({});
  context->dialogs = &dialogs;
  fs::create_directory(dir.file("out"));
  const std::pair<std::string, std::string> cases[] = {
      {R"({"T":"inventory","C":"add","V":1,"P":{"ip":"10.0.0.1:80"}})",
       R"({"C":"add","P":{"ip":"10.0.0.1:80","status":"OK"},"T":"inventory","V":1})"},
      {R"({"T":"inventory","C":"add","V":1,"P":{"ip":"nope"}})",
       R"x("P":{"error":"malformed display address \"nope\" (a.b.c.d:port expected)","ip":"nope","status":"ERROR"})x"},
      {R"({"T":"inventory","C":"remove","V":1,"P":{}})", R"("status":"ERROR")"},
      {R"({"T":"group","C":"save","V":1,"P":{"name":"hall","ip":["10.0.0.1:80"]}})",
       R"("P":{"ip":["10.0.0.1:80"],"name":"hall","status":"OK"})"},
      {R"({"T":"group","C":"get","V":1,"P":""})",
       R"("P":{"groups":[{"ip":["10.0.0.1:80"],"name":"hall"}]})"},
      {R"({"T":"inventory","C":"get","V":1,"P":""})", R"("groups":["hall"],"ip":"10.0.0.1:80")"},
      {R"({"T":"history","C":"get","V":1,"P":{"limit":0}})",
       R"("P":{"keep":{"days":365,"runs":100000},"runs":[]})"},
      {R"({"T":"history","C":"get","V":1,"P":{"id":3}})",
       R"("P":{"error":"unknown run 3","id":3,"runs":[],"status":"ERROR"})"},
      {R"({"T":"history","C":"export","V":1,"P":{}})",
       R"("P":{"path":")" + dir.file("out/history.csv") + R"(","status":"OK"})"},
      {R"({"T":"history","C":"export","V":1,"P":{"id":2}})",
       R"("P":{"error":"unknown run 2","id":2,"status":"ERROR"})"},
      {R"({"T":"history","C":"export","V":1,"P":{}})", R"("P":{"status":"cancel"})"},
      {R"({"C":"deploy","T":"login","V":1,"P":{"user":"a","pass":"b","group":"none"}})",
       R"("P":{"error":"unknown group none","name":"none","status":"nogroup"},"T":"group")"},
      {R"({"T":"history","C":"retry","V":1,"P":{"id":99,"user":"a","pass":"b"}})",
       R"("P":{"error":"unknown run 99","id":99,"status":"ERROR"})"},
  };
  for (const auto& [request, part] : cases) {
    std::string answer = dispatchPageMessage(*context, request);
    EXPECT_NE(answer.find(part), std::string::npos) << request << "\n" << answer;
  }
  EXPECT_EQ(dir.read("out/history.csv"),
            "run,started,kind,playlist,group,retry_of,ip,state,updated,detail\r\n");
  context->store.reset();
  const std::pair<const char*, const char*> closed[] = {
      {R"({"T":"history","C":"get","V":1,"P":{}})",
       R"({"error":"The store is switched off.","runs":[],"status":"ERROR"})"},
      {R"({"T":"inventory","C":"get","V":1,"P":""})",
       R"({"displays":[],"error":"The store is switched off.","groups":[],"status":"ERROR"})"},
      {R"({"T":"group","C":"remove","V":1,"P":{"name":"hall"}})",
       R"({"error":"The store is switched off.","name":"hall","status":"ERROR"})"},
      {R"({"C":"set","T":"ad","V":1,"P":{"user":"a","pass":"b","cmd":"1","group":"hall"}})",
       R"({"error":"The store is switched off.","name":"hall","status":"nogroup"})"}};
  for (const auto& [request, payload] : closed)
    EXPECT_EQ(json::parse(dispatchPageMessage(*context, request))["P"], json::parse(payload))
        << request;
}

}  // namespace
