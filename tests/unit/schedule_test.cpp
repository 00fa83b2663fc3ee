// Schedules in the host's local time, Europe/Berlin here, on a clock the tests set: firing times
// across both daylight-saving changes, missed firings, and what a firing that cannot send says.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>

#include "app/app_context.h"
#include "app/startup.h"
#include "base/clock.h"
#include "base/json_fields.h"
#include "commands/dispatcher.h"
#include "commands/schedules.h"
#include "deploy/schedule_time.h"
#include "platform/calendar.h"
#include "unit/test_support.h"

using nlohmann::json;

namespace {

class Berlin : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* zone = std::getenv("TZ");
    saved_ = zone ? zone : "";
    had_ = zone != nullptr;
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
  }
  void TearDown() override {
    had_ ? setenv("TZ", saved_.c_str(), 1) : unsetenv("TZ");
    tzset();
  }
  static std::string utc(std::optional<int64_t> ms) {
    std::tm t{};
    if (!ms || !utcCalendar(static_cast<std::time_t>(*ms / 1000), t)) return "";
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min);
    return text;
  }

 private:
  std::string saved_;
  bool had_ = false;
};

TEST_F(Berlin, FiringsKeepToTheLocalClockAcrossDaylightSaving) {
  struct Case {
    const char* when;
    LocalDate after;
    int afterMinute;
    const char* expected;  // UTC; "" when it fires no more
  };
  const char* sunday = R"({"weekly":{"days":["sun"],"time":"02:30"}})";
  const char* saturdays = R"({"weekly":{"days":["sat"],"time":"06:00","until":"2026-12-12"}})";
  const Case cases[] = {
      {sunday, {2027, 3, 27}, 12 * 60, "2027-03-28 01:00"},       // skipped: when the clock goes on
      {sunday, {2027, 10, 30}, 12 * 60, "2027-10-31 00:30"},      // repeated: the first time
      {sunday, {2027, 10, 31}, 2 * 60 + 45, "2027-11-07 01:30"},  // and not the second
      {R"({"weekly":{"days":["wed","mon"],"time":"06:00"}})",
       {2026, 12, 5},
       600,
       "2026-12-07 05:00"},
      {saturdays, {2026, 12, 11}, 0, "2026-12-12 05:00"},
      {saturdays, {2026, 12, 12}, 7 * 60, ""},
      {R"({"once":"2026-12-24T06:00"})", {2026, 12, 1}, 0, "2026-12-24 05:00"},
      {R"({"once":"2026-12-24T06:00"})", {2026, 12, 25}, 0, ""},
  };
  for (const auto& c : cases) {
    const auto when = readWhen(json::parse(c.when));
    ASSERT_TRUE(when) << c.when;
    EXPECT_EQ(utc(nextFiring(*when, localInstant(c.after, c.afterMinute))), c.expected) << c.when;
  }
  // Every day of the week that skips an hour fires once a day.
  const auto daily = readWhen(json::parse(
      R"({"weekly":{"days":["mon","tue","wed","thu","fri","sat","sun"],"time":"02:30"}})"));
  int64_t at = localInstant({2027, 3, 22}, 0);
  std::vector<std::string> week;
  while ((at = *nextFiring(*daily, at)) < localInstant({2027, 3, 29}, 0)) week.push_back(utc(at));
  EXPECT_EQ(week,
            (std::vector<std::string>{"2027-03-22 01:30", "2027-03-23 01:30", "2027-03-24 01:30",
                                      "2027-03-25 01:30", "2027-03-26 01:30", "2027-03-27 01:30",
                                      "2027-03-28 01:00"}));
  for (const char* impossible :
       {R"({"once":"2027-02-29T06:00"})", R"({"once":"2026-12-24T24:00"})",
        R"({"once":"2026-12-24 06:00"})", R"({"weekly":{"days":[],"time":"06:00"}})",
        R"({"weekly":{"days":["sun","xyz"],"time":"06:00"}})",
        R"({"weekly":{"days":["sun"],"time":"6:00"}})",
        R"({"weekly":{"days":["sun"],"time":"06:00","until":"2027-13-01"}})",
        R"({"once":"2026-12-24T06:00","weekly":{}})"}) {
    EXPECT_FALSE(readWhen(json::parse(impossible))) << impossible;
  }
}

// A schedule on a clock the test drives: made up, missed, and the reasons a firing sends nothing.
TEST_F(Berlin, MissedFiringsAndFiringsThatCannotSend) {
  TempAppFolder dir;
  dir.write({"logins.json", R"({"lobby":{"user":"admin","pass":"pw"}})", "web/conf/show.json",
             R"({"playlist":[{"url":"a.png","id":1,"type":1,"duration":5}]})"});
  ::chmod(dir.file("logins.json").c_str(), 0600);
  dir.write("config.yaml",
            dir.read("config.yaml") + "credentialsFile: " + dir.file("logins.json") + "\n");
  auto context = makeContext(dir);
  ASSERT_TRUE(context);
  openStore(*context);
  PageMessages page(*context);
  auto save = [&](const std::string& members) {
    return json::parse(dispatchPageMessage(
        *context, R"({"T":"schedule","C":"save","V":1,"P":{"name":"Night","login":"lobby",)" +
                      members + "}}"))["P"];
  };
  const std::string daily =
      R"("when":{"weekly":{"days":["mon","tue","wed","thu","fri","sat","sun"],"time":"06:00"}})";
  const std::string screen =
      R"("operation":{"C":"set","T":"screen","P":{"cmd":"0"}},"targets":{"ip":["10.0.0.1:80"]},)";
  const std::pair<std::string, const char*> refused[] = {
      {R"("operation":{"C":"deploy","T":"playlist","P":{"file":"gone.json"}},"targets":{"ip":["10.0.0.1:80"]},)" +
           daily,
       "there is no playlist gone.json"},
      {R"("operation":{"C":"set","T":"screen"},"targets":{"group":"Nowhere"},)" + daily,
       "unknown group Nowhere"},
      {screen + R"("when":{"weekly":{"days":[],"time":"06:00"}})", "at least one day"},
      {screen + R"("when":{"once":"2020-01-01T06:00"})", "would never fire"},
      {screen + R"("login":"unknown",)" + daily, "give the displays' user name and password"},
  };
  for (const auto& [members, why] : refused) {
    const json answer = save(members);
    EXPECT_NE(stringOr(answer, "error").find(why), std::string::npos) << answer;
  }
  ASSERT_TRUE(context->store->schedules().empty()) << "nothing refused is stored";
  const json saved = save(screen + daily);
  ASSERT_EQ(saved["status"], "OK") << saved;
  const int64_t id = saved["schedule"]["id"];
  const auto when = readWhen(saved["schedule"]["when"]);
  const int64_t first = *nextFiring(*when, nowMs());
  auto fired = [&](int64_t now) {
    page.take();
    runSchedules(*context, now);
    std::vector<std::string> statuses;
    for (const auto& text : page.take()) {
      const json m = json::parse(text);
      if (m["C"] == "fired")
        statuses.push_back(m["P"]["status"].get<std::string>() + " " + stringOr(m["P"], "error"));
    }
    return statuses;
  };
  const int64_t day = 24 * 3600 * 1000;
  EXPECT_EQ(fired(first + 3599'999), std::vector<std::string>{"OK "})
      << "just under an hour late: made up";
  EXPECT_TRUE(fired(first + 3600'000).empty()) << "once";
  const auto missed = fired(first + 3 * day + 2 * 3600'000);
  ASSERT_EQ(missed.size(), 3u);
  EXPECT_EQ(missed[2].substr(0, 7), "missed ");
  dir.write("logins.json", "{}");
  EXPECT_NE(fired(first + 4 * day)[0].find("ERROR the display login cannot be found"),
            std::string::npos);
  ::chmod(dir.file("logins.json").c_str(), 0644);
  dir.write("logins.json", R"({"lobby":{"user":"admin","pass":"pw"}})");
  EXPECT_NE(fired(first + 5 * day)[0].find("readable by no one else"), std::string::npos);
  const json runs = context->store->history(50, "", "", 0, id);
  EXPECT_EQ(runs.size(), 6u);
  EXPECT_EQ(runs[2]["displays"][0]["state"], "missed");
  // A playlist removed after the schedule was saved fails the firing with that reason.
  ::chmod(dir.file("logins.json").c_str(), 0600);
  const json show = save(
      R"("operation":{"C":"deploy","T":"playlist","P":{"file":"show.json"}},"targets":{"ip":["10.0.0.1:80"]},)" +
      daily);
  ASSERT_EQ(show["status"], "OK") << show;
  std::remove(dir.file("web/conf/show.json").c_str());
  const auto removed = fired(first + 6 * day);
  EXPECT_NE(std::find(removed.begin(), removed.end(), "ERROR the playlist show.json was removed"),
            removed.end());
  // The store's thread tells the page of steps: not once `page` is gone.
  context->store->flush();
  context->page.close();
}

}  // namespace
