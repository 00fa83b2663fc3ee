#include "deploy/device_replies.h"
#include "deploy/fetch_gate.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "app/app_context.h"
#include "device/device_client.h"
#include "discovery/discovery_listener.h"
#include "media/file_reading.h"
#include "platform/crypto.h"
#include "unit/fake_display.h"
#include "unit/test_support.h"

using nlohmann::json;

namespace {

const std::string kPeer = "10.77.1.10:80";
const std::string kPosted = "10.77.1.10:41000";  // notifications come from another port

constexpr int kPostedStatus = -1;  // not an answer: posted to a notification path

struct Event {
  std::string body;
  int status = 200;
  std::string peer = kPeer;
};
using Texts = std::vector<std::string>;

std::string rs(const std::string& url, const std::string& code, const std::string& text = "OK",
               const std::string& extra = "") {
  return responseStatus("/ISAPI/" + url, code, text, extra);
}
Event posted(std::string body) {
  return {std::move(body), kPostedStatus, kPosted};
}

std::shared_ptr<DeviceTask> makeTask(const json& fields) {
  auto task = std::make_shared<DeviceTask>();
  task->user = fields.value("user", "admin");
  task->pass = fields.value("pass", "pw");
  task->sessionId = fields.value("id", "S");
  task->ip = fields.value("ip", kPeer);
  task->challenged = fields.value("status", "") == "401";
  task->uris = fields.value("uri", Texts());
  task->bodies = fields.value("httpBody", Texts());
  task->fileSize = fields.value("filesize", 0u);
  return task;
}

class DeviceReplies : public ::testing::Test {
 protected:
  void SetUp() override {
    context = makeContext(dir);
    ASSERT_TRUE(context);
    context->page.connect([this](std::string text) { pages.push_back(std::move(text)); });
  }
  // Starts over with one task (a plain one for null) and returns what was written for each
  // event on its connection ("OK" for each notification).
  Texts play(const json& fields, const std::vector<Event>& events) {
    task = makeTask(fields.is_object() ? fields : json::object());
    context->deviceTasks = {task};
    context->awaitingTasks.clear();
    pages.clear();
    Texts written;
    for (const auto& e : events) {
      if (e.status == kPostedStatus) {
        onNotification(*context, e.body, e.peer);
        written.push_back("OK");
      } else {
        written.push_back(onTaskEvent(*context, task, e.body, e.peer, e.status));
      }
    }
    return written;
  }
  // "T" and status of every page message.
  Texts reported() const {
    Texts kinds;
    for (const auto& text : pages) {
      json m = json::parse(text);
      kinds.push_back(m["T"].get<std::string>() + " " + m["P"]["status"].get<std::string>());
    }
    return kinds;
  }

  TempAppFolder dir;
  std::unique_ptr<AppContext> context;
  std::shared_ptr<DeviceTask> task;
  Texts pages;
};

TEST_F(DeviceReplies, LoginAnswers) {
  auto written =
      play(json::parse(R"({"user":"a<b&c\"'>ü","pass":"","id":""})"),
           {{rs("Security/Login", "401", "Unauthenticated", "<SessionId>S1</SessionId>")},
            {rs("Security/Login", "200", "OK",
                "<SessionId>S1</SessionId><Privilege>admin</Privilege>")}});
  const std::string body =
      "<UserCheck><Username>a&lt;b&amp;c&quot;&apos;&gt;ü</Username><Password>" +
      md5HexDigest("S1:a<b&c\"'>ü::KOVRA") + "</Password><SessionId>S1</SessionId></UserCheck>";
  EXPECT_EQ(written,
            (Texts{"POST /ISAPI/Security/Login HTTP/1.1\r\nHost: 10.77.1.10:80\r\nContent-Type: "
                   "application/xml\r\nContent-Length: 152\r\nConnection: keep-alive\r\n\r\n" +
                       body,
                   "ERROR"}));
  EXPECT_EQ(pages,
            Texts{R"({"C":"deploy","P":{"ip":"10.77.1.10:80","pass":"","privilege":"admin",)"
                  R"("sessionid":"S1","status":"OK","user":"a<b&c\"'>ü"},"T":"login","V":1})"});
}

TEST_F(DeviceReplies, ConfigurationUploadSendsDataThenClosesOnce) {
  const std::string head = "POST /ISAPI/UploadFile/TemplateConfig?name=a.conf&offset=";
  const std::string tail =
      "&ID=S HTTP/1.1\r\nHost: " + kPeer + "\r\nContent-Type: application/conf\r\n";
  for (size_t size : {1234u, 0u}) {
    const json upload = {{"uri", {"POST /ISAPI/UploadFile/TemplateConfig?name=a.conf"}},
                         {"httpBody", {std::string(size, 'z')}},
                         {"offset", 0},
                         {"filesize", size}};
    // Neither an early empty answer nor an empty notification moves the upload on.
    auto written =
        play(upload, {{""}, {rs("Security/Login", "200")}, posted(""), {""}, {""}, {""}});
    EXPECT_EQ(written,
              (Texts{"ERROR",
                     head + "0" + tail + "Content-Length: " + std::to_string(size) +
                         "\r\nConnection: keep-alive\r\n\r\n" + std::string(size, 'z'),
                     "OK", head + std::to_string(size) + tail + "Content-Length: 0\r\n\r\n", "",
                     "ERROR"}));
    EXPECT_EQ(reported(), Texts{"configure OK"});
  }
}

// Every reply by the task it meets: what reaches the page ("T status" of each message).
TEST_F(DeviceReplies, RepliesReportWhatTheirTaskExpects) {
  const std::string result =
      "<NotifyFetchResult><TotalCount>3</TotalCount><SucceedCount>2</SucceedCount>"
      "<FailedCount>1</FailedCount></NotifyFetchResult>";
  auto firmware = [](const char* code) {
    return "<NotifyFetchFirmware><StatusCode>" + std::string(code) +
           "</StatusCode><StatusString>OK</StatusString></NotifyFetchFirmware>";
  };
  auto uris = [](size_t count, const char* first = "PUT /x?ID=") {
    Texts list(count, "PUT /x?ID=");
    list[0] = first;
    return json{{"uri", list}, {"httpBody", Texts(count)}};
  };
  const json one = uris(1), two = uris(2), playlist = uris(2),
             urgent = uris(2, "PUT /ISAPI/Gui/UrgentConfig?ID=");
  const json upgrade = uris(1, "PUT /ISAPI/System/FetchFirmware?ID=");
  const Event listed{rs("VideoAdvert/FetchListConfig", "200")};
  const Event fetching{rs("System/FetchFirmware", "1")};
  struct Case {
    json task;  // null: none
    std::vector<Event> events;
    Texts reported;
  } cases[] = {
      // clang-format off
      {{{"status", "401"}}, {{rs("Security/Login", "401", "Unauthenticated")}}, {"login ERROR"}},
      {json::object(), {{rs("Security/Login", "500", "Oops")}}, {"login Unsupported Login Code: 500"}},
      {json::object(), {{rs("Security/Login", "200", "ok")}}, {"login Unsupported Login Code: 200"}},
      {json::object(), {{rs("Security/Login", "1")}}, {"login OK"}},
      {one, {{rs("Gui/UrgentConfig", "200")}}, {"emergency OK"}},
      {one, {{rs("Gui/UrgentConfig", "400")}}, {"emergency Unsupported Emergency Request Code: 400"}},
      {two, {{rs("VideoAdvert/RequestUploadList", "503", "Full")}}, {"adUploadRequest NO Enough Space"}},
      {two, {{rs("VideoAdvert/RequestUploadList", "400", "x")}}, {"adUploadRequest Unsupported Ad Upload Request Code: 400"}},
      {one, {{rs("VideoAdvert/RequestUploadList", "200")}}, {}},
      {one, {{rs("DeviceInfo", "200", "Ok")}}, {"devName ERROR"}},
      {one, {{rs("VideoAdvert/ScreenSwitch", "1")}}, {"screen OK"}},
      {one, {{rs("System/FetchFirmware", "500")}}, {"firmware ERROR"}},
      {one, {{rs("Unknown", "200")}}, {}},
      {json(), {{"", kStatusConnectionError}, {"", kStatusConnectionClosed}, {"<x/>", 401}}, {"device mgerror", "device mgclose", "device Unsupported code: 401"}},
      {json(), {{"<ResponseStatus><RequestURL>"}, {"   "}}, {"parse ERROR", "parse ERROR"}},
      {json::object(), {{""}, {"<Other><A>1</A></Other>"}}, {}},
      // A fetch result counts only for the fetch the display accepted, and only once.
      {json::object(), {{rs("Security/Login", "200")}, posted(result)}, {"login OK"}},
      {playlist, {posted(result)}, {}},
      {playlist, {{rs("VideoAdvert/FetchListConfig", "500", "No")}, posted(result)}, {}},
      {playlist, {listed, posted(result), posted(result)}, {"playlist finish"}},
      {urgent, {listed, posted("<NotifyFetchResult/>")}, {"emergency finish"}},
      {json(), {posted(firmware("200"))}, {}},
      {playlist, {listed, posted(firmware("200"))}, {}},
      {upgrade, {fetching, posted(firmware("200")), posted(firmware("200"))}, {"firmware OK"}},
      {upgrade, {fetching, posted(firmware("500"))}, {"firmware ERROR"}},
      {playlist, {listed, posted(rs("Security/Login", "200")), posted("<a>"), posted("")}, {}},
      // clang-format on
  };
  for (const auto& c : cases) {
    play(c.task, c.events);
    EXPECT_EQ(reported(), c.reported) << c.task << " " << c.events[0].body;
  }
  play(playlist, {listed, posted(result)});
  EXPECT_EQ(pages,
            Texts{R"({"C":"deploy","P":{"failed":"1","ip":"10.77.1.10:41000","status":"finish",)"
                  R"("success":"2","total":"3"},"T":"playlist","V":1})"});
}

// Events find their display by the connection, notifications by the address of the one
// display there that owes them.
TEST_F(DeviceReplies, EachEventFindsItsOwnDisplay) {
  const json fetching = {{"uri", Texts(2, "PUT /x?ID=")}, {"httpBody", Texts(2)}};
  auto a = makeTask({{"ip", "192.168.1.10:80"}, {"status", ""}});
  auto b = makeTask({{"ip", "192.168.1.10:81"}, {"status", ""}});
  auto c = makeTask(fetching), d = makeTask(fetching);
  c->ip = "192.168.1.10:82", d->ip = "192.168.1.10:83";
  context->deviceTasks = {a, b, c, d};
  onTaskEvent(*context, b,
              rs("Security/Login", "401", "Unauthenticated", "<SessionId>X</SessionId>"),
              "192.168.1.10:81", 200);
  EXPECT_FALSE(a->challenged);
  EXPECT_TRUE(b->challenged);
  EXPECT_EQ(b->sessionId, "X");
  const std::string result =
      "<NotifyFetchResult><SucceedCount>2</SucceedCount></NotifyFetchResult>";
  const Event listed{rs("VideoAdvert/FetchListConfig", "200")};
  onTaskEvent(*context, c, listed.body, c->ip, 200);
  onNotification(*context, result, "192.168.1.11:4000");
  EXPECT_EQ(c->awaiting, "NotifyFetchResult") << "another address";
  onNotification(*context, result, "192.168.1.10:4000");
  EXPECT_EQ(c->awaiting, "") << "the one display that owed it";
  onTaskEvent(*context, c, listed.body, c->ip, 200);
  auto newer = makeTask(fetching);
  newer->ip = c->ip;
  onTaskEvent(*context, newer, listed.body, c->ip, 200);
  EXPECT_EQ(c->awaiting, "") << "its display took a newer fetch";
  onNotification(*context, result, "192.168.1.10:4000");
  EXPECT_EQ(newer->awaiting, "") << "the newer fetch is credited";
  onTaskEvent(*context, c, listed.body, c->ip, 200);
  onTaskEvent(*context, d, listed.body, d->ip, 200);
  pages.clear();
  onNotification(*context, result, "192.168.1.10:4000");
  EXPECT_EQ(c->awaiting, "NotifyFetchResult") << "two owe it: neither is credited";
  EXPECT_EQ(d->awaiting, "NotifyFetchResult");
  EXPECT_EQ(reported(), Texts{"notification unattributed"});
}

TEST_F(DeviceReplies, HostileXmlIsNeitherExpandedNorPrinted) {
  const std::string bomb =
      "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b "
      "\"&a;&a;&a;&a;&a;\"><!ENTITY file SYSTEM \"file:///etc/passwd\">]>"
      "<ResponseStatus><RequestURL>/ISAPI/Security/Login</RequestURL><StatusCode>401</StatusCode>"
      "<StatusString>Unauthenticated</StatusString><SessionId>&file;&b;</SessionId></"
      "ResponseStatus>";
  play(json::object(), {{bomb}});
  EXPECT_EQ(task->sessionId.find("root:"), std::string::npos);

  const std::string undecodable =
      "<?xml version=\"1.0\" encoding=\"EUC-JP\"?><ResponseStatus>\xff\xff\xff</ResponseStatus>";
  std::string record;
  std::function<void()> parsers[] = {[&] { play(json::object(), {{undecodable}}); },
                                     [&] { parseDeviceRecord(undecodable, record); }};
  for (const auto& parse : parsers) {
    ::testing::internal::CaptureStderr();
    std::thread(parse).join();  // libxml2 keeps its error handlers per thread
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  }
}

}  // namespace

// Held tasks start in the order they were chosen as places free and windows open; a display
// keeps its place from its fetch list to its report. No service runs: a task that starts fails
// to connect at once and frees its place again.
TEST_F(DeviceReplies, WavesAndWindowsHoldTasksBack) {
  const json fetching = {{"uri", Texts(2, "PUT /ISAPI/VideoAdvert/FetchListConfig?ID=")},
                         {"httpBody", Texts(2)}};
  DeviceTaskList tasks;
  for (int i = 0; i < 4; ++i) {
    tasks.push_back(makeTask(fetching));
    tasks.back()->ip = "192.168.1." + std::to_string(10 + i) + ":80";
  }
  context->waveSize = 2;
  auto now = admitTasks(*context, tasks);
  ASSERT_EQ(now, DeviceTaskList(tasks.begin(), tasks.begin() + 2));
  EXPECT_EQ(reported(), Texts(2, "device waiting"));
  const Event listed{rs("VideoAdvert/FetchListConfig", "200")};
  onTaskEvent(*context, tasks[0], listed.body, tasks[0]->ip, 200);
  onTaskEvent(*context, tasks[0], {}, tasks[0]->ip, kStatusConnectionClosed);
  EXPECT_EQ(context->heldTasks.size(), 2u) << "the place is kept until the display reports";
  pages.clear();
  onNotification(*context, "<NotifyFetchResult/>", "192.168.1.10:4000");
  EXPECT_EQ(reported(),
            (Texts{"playlist finish", "device started", "device mgerror", "device mgclose",
                   "device started", "device mgerror", "device mgclose"}));
  EXPECT_EQ(context->fetching, 1u) << "only the display that has not reported";
  // Outside its window nothing starts, whatever the places; when it opens, all do.
  pages.clear();
  context->waveSize = 0;
  context->secondOfDay = [] { return 21 * 3600; };
  for (auto& task : tasks) task->window = DownloadWindow{22 * 60, 5 * 60};
  EXPECT_TRUE(admitTasks(*context, tasks).empty());
  EXPECT_EQ(json::parse(pages.at(0))["P"]["window"],
            json::parse(R"({"from":"22:00","to":"05:00"})"));
  context->secondOfDay = [] { return 4 * 3600; };
  startHeldTasks(*context);
  EXPECT_TRUE(context->heldTasks.empty());
}

TEST(DownloadWindow, ReadsOpensAndWaits) {
  struct Case {
    const char* window;
    int minute;     // of the day
    int untilOpen;  // -1: the window is refused
  };
  const Case cases[] = {
      {R"({"from":"22:00","to":"05:00"})", 23 * 60, 0},
      {R"({"from":"22:00","to":"05:00"})", 4 * 60 + 59, 0},
      {R"({"from":"22:00","to":"05:00"})", 5 * 60, 17 * 60},
      {R"({"from":"22:00","to":"05:00"})", 21 * 60 + 59, 1},
      {R"({"from":"9:30","to":"17:00"})", 9 * 60 + 29, 1},
      {R"({"from":"09:30","to":"17:00"})", 17 * 60, 16 * 60 + 30},
      {R"({"from":"00:00","to":"23:59"})", 23 * 60 + 59, 1},
      {R"({"from":"05:00","to":"05:00"})", 0, -1},
      {R"({"from":"24:00","to":"05:00"})", 0, -1},
      {R"({"from":"22:60","to":"05:00"})", 0, -1},
      {R"({"from":"2200","to":"05:00"})", 0, -1},
      {R"({"from":"22:00"})", 0, -1},
      {R"({"from":" 2:00","to":"05:00"})", 0, -1},
      {R"({"from":22,"to":5})", 0, -1},
      {R"("22:00-05:00")", 0, -1},
  };
  for (const auto& c : cases) {
    const auto window = readDownloadWindow(json::parse(c.window));
    ASSERT_EQ(window.has_value(), c.untilOpen >= 0) << c.window;
    if (!window) continue;
    EXPECT_EQ(minutesUntilOpen(*window, c.minute), c.untilOpen) << c.window << " at " << c.minute;
  }
  // A place for each fetching task up to the wave; those that fetch nothing never wait for one.
  const DownloadWindow night{22 * 60, 5 * 60};
  const HeldTask held[] = {{true, {}}, {false, {}}, {true, night}, {true, {}}, {false, night}};
  EXPECT_EQ(startable(held, 0, 2, 12 * 60), (std::vector<size_t>{0, 1, 3}));
  EXPECT_EQ(startable(held, 2, 2, 23 * 60), (std::vector<size_t>{1, 4}));
  EXPECT_EQ(startable(held, 1, 0, 23 * 60), (std::vector<size_t>{0, 1, 2, 3, 4}));
}
