// The display contract as the simulator decides it, without I/O. The host's lab tests trust
// these answers: a simulator that took a wrong digest or an ill-formed body would let the
// host's own faults pass unseen.
#include <gtest/gtest.h>

#include "digest.h"
#include "display_logic.h"
#include "fetch_job.h"

using namespace dsim;

namespace {

std::string field(const std::string& xml, const std::string& name) {
  const auto open = xml.find("<" + name + ">");
  if (open == std::string::npos) return "<missing>";
  const auto start = open + name.size() + 2;
  return xml.substr(start, xml.find("</" + name + ">", start) - start);
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

struct Display {
  SessionStore sessions{42};
  LogicConfig config;
  std::string sid;  // of the last login
  Decision send(const std::string& method, const std::string& target, const std::string& body) {
    return decideReply({method, target, body}, sessions, config);
  }
  std::string challenge() { return field(send("POST", kLoginPath, "").reply.body, "SessionId"); }
  // The answer's StatusCode to a UserCheck in which "SID" stands for the challenge's id.
  std::string login(const std::string& user, const std::string& digestOf, const std::string& id) {
    sid = challenge();
    const std::string body = "<UserCheck><Username>" + user + "</Username><Password>" +
                             md5Hex(replaced(digestOf, "SID", sid)) + "</Password><SessionId>" +
                             replaced(id, "SID", sid) + "</SessionId></UserCheck>";
    const Decision answer = send("POST", kLoginPath, body);
    return field(answer.reply.body, "StatusCode") +
           (field(answer.reply.body, "SessionId") == sid ? " same id" : " other id");
  }
};

TEST(SimLogin, AcceptsOnlyTheDigestOfItsOwnChallenge) {
  ASSERT_EQ(md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  struct Case {
    const char* configUser;
    const char* user;  // as the XML carries it
    const char* digestOf;
    const char* id;
    bool wrongCredentialsFault;
    const char* expected;
  } cases[] = {
      {"admin", "admin", "SID:admin:12345:KOVRA", "SID", false, "200 same id"},
      {"admin", "admin", "SID:admin:wrong:KOVRA", "SID", false, "401 other id"},
      {"admin", "root", "SID:admin:12345:KOVRA", "SID", false, "401 other id"},
      {"admin", "admin", "forged:admin:12345:KOVRA", "forged", false, "401 other id"},
      {"admin", "admin", "SID:admin:12345:KOVRA", "SID", true, "401 other id"},
      {"a<&b", "a&lt;&amp;b", "SID:a<&b:12345:KOVRA", "SID", false, "200 same id"},
      {"a<&b", "a<&b", "SID:a<&b:12345:KOVRA", "SID", false, "401 other id"},
  };
  for (const auto& c : cases) {
    Display display;
    display.config.user = c.configUser;
    display.config.wrongCredentials = c.wrongCredentialsFault;
    EXPECT_EQ(display.login(c.user, c.digestOf, c.id), c.expected) << c.user << " " << c.digestOf;
  }
  Display display;
  const std::string first = display.challenge();
  EXPECT_EQ(first.size(), 32u);
  EXPECT_NE(display.challenge(), first);
}

TEST(SimAnswers, EveryRequestOfTheHost) {
  const std::string fetchList =
      "<FetchListConfig><NotifyServerHost>10.77.1.1</NotifyServerHost><NotifyServerPort>8089"
      "</NotifyServerPort><FetchList_0><FetchURL>http://10.77.1.1:8089/media/a%20b.mp4"
      "</FetchURL></FetchList_0><FetchList_1><FetchURL>http://10.77.1.1:8089/media/c.png"
      "</FetchURL></FetchList_1></FetchListConfig>";
  const std::string firmware =
      "<FetchFirmware><NotifyServerHost>10.77.2.1</NotifyServerHost><NotifyServerPort>8089"
      "</NotifyServerPort><NotifyServerURL>/ISAPI/System/NotifyFetchFirmware</NotifyServerURL>"
      "<FetchURL>http://10.77.2.1:8089/firmware/fw.dav</FetchURL></FetchFirmware>";
  auto uploadList = [](const char* size) {
    return std::string("<RequestUploadList><TotalFileCount>1</TotalFileCount><TotalFileSize>") +
           size + "</TotalFileSize></RequestUploadList>";
  };
  const std::string upload = std::string(kUploadPath) + "?name=" + md5Hex("a.conf") + ".conf";
  struct Case {
    const char* method;
    std::string target;  // "$ID" stands for the session's id
    std::string body;
    const char* expected;  // HTTP status, StatusCode, what the display fetches
  } cases[] = {
      {"PUT", "/ISAPI/Gui/UrgentConfig?$ID", "<UrgentConfig><Enabled>1</Enabled></UrgentConfig>",
       "200 200"},
      {"PUT", "/ISAPI/VideoAdvert/RequestUploadList?$ID", uploadList("1000"), "200 200"},
      {"PUT", "/ISAPI/VideoAdvert/RequestUploadList?$ID", uploadList("1001"), "200 503"},
      {"PUT", "/ISAPI/VideoAdvert/RequestUploadList?$ID", uploadList("-1"), "200 400"},
      {"PUT", "/ISAPI/VideoAdvert/FetchListConfig?$ID", fetchList,
       "200 200 media http://10.77.1.1:8089/media/a%20b.mp4 http://10.77.1.1:8089/media/c.png "
       "to 10.77.1.1:8089"},
      {"PUT", "/ISAPI/System/FetchFirmware?$ID", firmware,
       "200 200 firmware http://10.77.2.1:8089/firmware/fw.dav "
       "to 10.77.2.1:8089/ISAPI/System/NotifyFetchFirmware"},
      {"POST", upload + "&offset=0&$ID", std::string(1234, 'x'), "200 empty"},
      {"POST", upload + "&offset=-1&$ID", "x", "200 400"},
      {"PUT", "/ISAPI/DeviceInfo?ID=nope", "<DeviceInfo/>", "200 401"},
      {"PUT", "/ISAPI/DeviceInfo", "<DeviceInfo/>", "200 401"},
      {"GET", "/ISAPI/DeviceInfo?$ID", "", "200 405"},
      {"PUT", "/ISAPI/DeviceInfo?$ID", "<Banner/>", "200 400"},
      {"PUT", "/ISAPI/DeviceInfo?$ID", "<DeviceInfo>", "200 400"},
      {"PUT", "/ISAPI/Nothing?$ID", "", "200 404"},
      {"GET", "/index.html", "", "404 <missing> for <missing>"},
  };
  Display display;
  display.config.freeSpace = 1000;
  ASSERT_EQ(display.login("admin", "SID:admin:12345:KOVRA", "SID"), "200 same id");
  for (const auto& c : cases) {
    const std::string path = c.target.substr(0, c.target.find('?'));
    const Decision d =
        display.send(c.method, replaced(c.target, "$ID", "ID=" + display.sid), c.body);
    const std::string& body = d.reply.body;
    std::string got = std::to_string(d.reply.httpStatus) + " " +
                      (body.empty() ? "empty" : field(body, "StatusCode"));
    if (!body.empty() && field(body, "RequestURL") != path)
      got += " for " + field(body, "RequestURL");
    if (d.fetch) {
      got += d.fetch->kind == FetchKind::Firmware ? " firmware " : " media ";
      for (const auto& url : d.fetch->urls) got += url + " ";
      got += "to " + d.fetch->notifyHost + ":" + d.fetch->notifyPort + d.fetch->notifyUrl;
    }
    EXPECT_EQ(got, c.expected) << c.target;
  }
}

// The fetch faults stand for displays whose result the host must not take at its word: one
// that claims every file without fetching any, one that leaves the last file out.
TEST(SimFetchFaults, WhatIsFetchedAndWhatIsClaimed) {
  struct Case {
    const char* fault;  // "" for none
    FetchKind kind;
    size_t urls;
    size_t failing;        // planned downloads that fail
    const char* expected;  // downloads, then the counts (firmware: the StatusCode) notified
  } cases[] = {
      {"", FetchKind::MediaList, 3, 1, "3: 3 2 1"},
      {"fetch-skip", FetchKind::MediaList, 3, 0, "0: 3 3 0"},
      {"fetch-skip", FetchKind::MediaList, 0, 0, "0: 0 0 0"},
      {"fetch-fail-one", FetchKind::MediaList, 3, 0, "2: 3 2 1"},
      {"fetch-fail-one", FetchKind::MediaList, 3, 1, "2: 3 1 2"},
      {"fetch-fail-one", FetchKind::MediaList, 1, 0, "0: 1 0 1"},
      {"fetch-fail-one", FetchKind::MediaList, 0, 0, "0: 0 0 0"},
      {"fetch-skip", FetchKind::Firmware, 1, 1, "1: 500"},
      {"fetch-fail-one", FetchKind::Firmware, 1, 0, "1: 200"},
  };
  for (const auto& c : cases) {
    Faults faults;
    if (*c.fault) {
      ASSERT_TRUE(applyFault(faults, c.fault));
    }
    FetchOrder order;
    order.kind = c.kind;
    order.urls.assign(c.urls, "http://10.77.1.1/media/a.mp4");
    const FetchPlan plan = planFetch(order, faults);
    const std::string body = notificationBody(order, plan, plan.downloads - c.failing);
    const std::string counts = c.kind == FetchKind::Firmware
                                   ? field(body, "StatusCode")
                                   : field(body, "TotalCount") + " " + field(body, "SucceedCount") +
                                         " " + field(body, "FailedCount");
    EXPECT_EQ(std::to_string(plan.downloads) + ": " + counts, c.expected)
        << c.fault << " " << c.urls;
  }
}

}  // namespace
