#include <gtest/gtest.h>

#include "app/app_context.h"
#include "deploy/run_journal.h"
#include "device/delivery_ledger.h"
#include "unit/test_support.h"

using nlohmann::json;

namespace {

TEST(Journal, EachOutcomeMovesTheDisplayToItsState) {
  struct Row {
    const char* what;
    std::string step, status;
    json payload;
    size_t files, sentWhole;
    bool awaiting;
    std::string state;
  };
  const json all = {{"total", "2"}, {"success", "2"}, {"failed", "0"}};
  const std::vector<Row> rows = {
      {"login-only login", "login", "OK", {}, 0, 0, false, "confirmed"},
      {"a setting answered", "adSwitch", "OK", {}, 0, 0, false, "confirmed"},
      {"an OK before the files came", "emergency", "OK", {}, 2, 0, false, ""},
      {"every file seen whole", "playlist", "finish", all, 2, 2, false, "confirmed"},
      {"success without the bytes", "playlist", "finish", all, 2, 1, false, "reported"},
      {"one file failed",
       "playlist",
       "finish",
       {{"total", "2"}, {"success", "1"}, {"failed", "1"}},
       2,
       2,
       false,
       "incomplete"},
      {"counts that are no numbers",
       "playlist",
       "finish",
       {{"success", "2x"}},
       2,
       2,
       false,
       "incomplete"},
      {"firmware fetched", "firmware", "OK", {}, 1, 1, false, "confirmed"},
      {"firmware refused", "firmware", "ERROR", {}, 1, 1, false, "failed"},
      {"no space", "adUploadRequest", "NO Enough Space", {}, 2, 0, false, "failed"},
      {"wrong credentials", "login", "ERROR", {}, 0, 0, false, "failed"},
      {"fetch list refused", "fetchList", "400 Invalid", {}, 2, 0, false, "failed"},
      {"connection lost mid-way", "device", "mgerror", {}, 2, 0, false, "failed"},
      {"closed before every answer", "device", "mgclose", {}, 0, 0, false, "failed"},
      {"closed while the fetch runs", "device", "mgclose", {}, 2, 0, true, ""},
      {"another attempt to come", "device", "retry", {}, 0, 0, false, ""},
  };
  for (const auto& row : rows) {
    const auto judged =
        judgeOutcome(row.step, row.status, row.payload, row.files, row.sentWhole, row.awaiting);
    EXPECT_EQ(judged.state, row.state) << row.what;
  }
  EXPECT_EQ(judgeOutcome("playlist", "finish", all, 2, 1, false).detail,
            json({{"files", 2}, {"seen", 1}}));
}

TEST(Journal, RetryTakesTheDisplaysThatDidNotEndWell) {
  const std::pair<const char*, bool> states[] = {
      {"failed", true},     {"incomplete", true}, {"pending", true}, {"interrupted", true},
      {"confirmed", false}, {"reported", false},  {"", false},       {"unknown", false},
  };
  for (const auto& [state, retried] : states) EXPECT_EQ(worthRetrying(state), retried) << state;
}

TEST(Journal, AFileCountsAsSentWhenEveryByteWentOutToThatDisplayInThatRun) {
  struct Piece {
    std::string host, path;
    uint64_t offset, count;
  };
  struct Row {
    const char* what;
    std::vector<Piece> pieces;
    bool whole;
  };
  const std::string a = "10.77.1.10", file = "/media/a.mp4";
  const std::vector<Row> rows = {
      {"in one piece", {{a, file, 0, 100}}, true},
      {"ranges that add up, out of order",
       {{a, file, 60, 40}, {a, file, 0, 30}, {a, file, 25, 40}},
       true},
      {"pieces that meet end to end", {{a, file, 0, 50}, {a, file, 50, 50}}, true},
      {"a gap", {{a, file, 0, 50}, {a, file, 51, 49}}, false},
      {"the head missing", {{a, file, 1, 99}}, false},
      {"sent to another display", {{"10.77.1.11", file, 0, 100}}, false},
      {"another file", {{a, "/media/b.mp4", 0, 100}}, false},
      {"nothing", {}, false},
  };
  for (const auto& row : rows) {
    DeliveryLedger ledger;
    ledger.expect(7, a, {file});
    for (const auto& piece : row.pieces)
      ledger.record(piece.host, piece.path, piece.offset, piece.count);
    EXPECT_EQ(ledger.sentWhole(7, a, file, 100), row.whole) << row.what;
    EXPECT_FALSE(ledger.sentWhole(8, a, file, 100)) << row.what << ": a run that did not expect it";
    ledger.forget(7);
    EXPECT_FALSE(ledger.sentWhole(7, a, file, 100)) << row.what << ": after the run ended";
  }
}

TEST(Journal, ARunEndsWhenEveryDisplayEndedOrWhenItWaitedTooLong) {
  TempAppFolder folder;
  auto context = makeContext(folder);
  auto opened = Store::open(folder.path());
  ASSERT_TRUE(opened) << opened.error();
  context->store = std::move(*opened);
  auto deploy = [&](std::vector<std::string> ips) {
    json message = {{"C", "deploy"},
                    {"T", "login"},
                    {"V", 1},
                    {"P", {{"user", "admin"}, {"pass", "secret"}, {"ip", ips}}}};
    return context->journal.begin(*context, message, "", "media", {});
  };
  const int64_t done = deploy({"10.77.1.10:80"});
  const int64_t waiting = deploy({"10.77.1.10:80", "10.77.1.11:80"});
  for (int64_t run : {done, waiting}) {
    context->journal.record(*context, run, "10.77.1.10:80", "login", "OK", json::object(), false,
                            {});
  }
  context->store->flush();
  auto ended = [&](int64_t run) { return !context->store->run(run)["ended"].is_null(); };
  EXPECT_TRUE(ended(done));
  EXPECT_FALSE(ended(waiting));
  context->journal.endIdleRuns(*context, std::chrono::hours(1));
  context->store->flush();
  EXPECT_FALSE(ended(waiting)) << "ended before its time";
  context->journal.endIdleRuns(*context, std::chrono::milliseconds(0));
  context->store->flush();
  EXPECT_TRUE(ended(waiting));
  const json run = context->store->run(waiting);
  std::vector<std::string> states;
  for (const auto& display : run["displays"]) states.push_back(display["state"]);
  EXPECT_EQ(states, (std::vector<std::string>{"confirmed", "pending"}));
}

}  // namespace
