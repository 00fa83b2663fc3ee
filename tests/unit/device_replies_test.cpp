#include "device/device_replies.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "app/app_context.h"
#include "commands/playlists.h"
#include "device/device_client.h"
#include "device/markup_escape.h"
#include "discovery/discovery_listener.h"
#include "media/file_utils.h"
#include "unit/fake_display.h"
#include "unit/test_support.h"

using nlohmann::json;

namespace {

const std::string kPeer = "10.77.1.10:80";

std::string status(const std::string& url, const std::string& code, const std::string& text,
                   const std::string& extra = "") {
  return responseStatus(url, code, text, extra);
}

class DeviceReplies : public ::testing::Test {
 protected:
  void SetUp() override {
    context = makeContext(dir);
    ASSERT_TRUE(context);
    context->page.connect([this](std::string text) { messages.push_back(json::parse(text)); });
  }

  void addTask(json task) {
    json base = {
        {"user", "admin"}, {"pass", "pw"}, {"id", ""}, {"ip", "10.77.1.10:80"}, {"status", ""}};
    if (task.is_object()) base.update(task);
    context->deviceTasks.push_back(base);
  }
  std::string reply(const std::string& body, int code = 200, const std::string& peer = kPeer) {
    return onDeviceReply(context.get(), body, peer, code);
  }
  json task(size_t i = 0) { return context->deviceTasks.at(i); }
  json lastMessage() { return messages.empty() ? json() : messages.back(); }

  TempAppFolder dir;
  std::unique_ptr<AppContext> context;
  std::vector<json> messages;
};

json message(const std::string& type, json payload) {
  return {{"C", "deploy"}, {"T", type}, {"V", 1}, {"P", std::move(payload)}};
}

TEST_F(DeviceReplies, LoginOnlyWalksThroughChallengeAndReportsTheSession) {
  addTask({{"user", "a<b&c"}, {"pass", ""}});
  std::string second =
      reply(status("/ISAPI/Security/Login", "401", "Unauthenticated", "<SessionId>S1</SessionId>"));
  const std::string body = "<UserCheck><Username>a&lt;b&amp;c</Username><Password>" +
                           md5Hex("S1:a<b&c::KOVRA") +
                           "</Password><SessionId>S1</SessionId></UserCheck>";
  EXPECT_EQ(second,
            "POST /ISAPI/Security/Login HTTP/1.1\r\nHost: 10.77.1.10:80\r\n"
            "Content-Type: application/xml\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\nConnection: keep-alive\r\n\r\n" + body);
  EXPECT_EQ(task()["status"], "401");
  EXPECT_EQ(task()["id"], "S1");
  EXPECT_TRUE(messages.empty());

  EXPECT_EQ(reply(status("/ISAPI/Security/Login", "200", "OK",
                         "<SessionId>S1</SessionId><Privilege>admin</Privilege>")),
            "ERROR");
  EXPECT_EQ(lastMessage(), message("login", {{"status", "OK"},
                                             {"ip", kPeer},
                                             {"user", "a<b&c"},
                                             {"pass", ""},
                                             {"sessionid", "S1"},
                                             {"privilege", "admin"}}));
}

TEST_F(DeviceReplies, LoginOutcomes) {
  struct Case {
    const char* name;
    std::string taskStatus;
    std::string code, text;
    json payload;  // null: no message
  } cases[] = {
      {"second challenge", "401", "401", "Unauthenticated", {{"status", "ERROR"}, {"ip", kPeer}}},
      {"odd code", "", "500", "Oops", {{"status", "Unsupported Login Code: 500"}, {"ip", kPeer}}},
      {"OK in other case",
       "401",
       "200",
       "ok",
       {{"status", "Unsupported Login Code: 200"}, {"ip", kPeer}}},
      {"code 1 is good",
       "401",
       "1",
       "OK",
       {{"status", "OK"},
        {"ip", kPeer},
        {"user", "admin"},
        {"pass", "pw"},
        {"sessionid", ""},
        {"privilege", ""}}},
  };
  for (const auto& c : cases) {
    context->deviceTasks = json::array();
    messages.clear();
    addTask({{"status", c.taskStatus}});
    reply(status("/ISAPI/Security/Login", c.code, c.text));
    EXPECT_EQ(lastMessage(), message("login", c.payload)) << c.name;
  }
}

TEST_F(DeviceReplies, RequestsFollowTheTableInOrder) {
  addTask({{"id", "S9"},
           {"status", "401"},
           {"uri",
            {"PUT /ISAPI/Gui/UrgentConfig?ID=", "POST /ISAPI/VideoAdvert/RequestUploadList?ID=",
             "PUT /ISAPI/VideoAdvert/FetchListConfig?ID="}},
           {"httpBody", {"<U/>", "<R/>", "<F/>"}}});
  auto request = [](const std::string& line, const std::string& body) {
    return line + "S9 HTTP/1.1\r\nHost: " + kPeer + "\r\nContent-Type: application/xml\r\n" +
           "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: keep-alive\r\n\r\n" +
           body;
  };
  EXPECT_EQ(reply(status("/ISAPI/Security/Login", "200", "OK")),
            request("PUT /ISAPI/Gui/UrgentConfig?ID=", "<U/>"));
  EXPECT_EQ(reply(status("/ISAPI/Gui/UrgentConfig", "200", "OK")),
            request("POST /ISAPI/VideoAdvert/RequestUploadList?ID=", "<R/>"));
  EXPECT_EQ(reply(status("/ISAPI/VideoAdvert/RequestUploadList", "1", "OK")),
            request("PUT /ISAPI/VideoAdvert/FetchListConfig?ID=", "<F/>"));
  EXPECT_EQ(reply(status("/ISAPI/VideoAdvert/FetchListConfig", "200", "OK")), "ERROR");
  EXPECT_TRUE(messages.empty());
}

TEST_F(DeviceReplies, SingleRequestAnswers) {
  struct Case {
    std::string url, code, text;
    size_t requests;
    std::string type, reported;  // empty type: no message
  } cases[] = {
      {"/ISAPI/Gui/UrgentConfig", "200", "OK", 1, "emergency", "OK"},
      {"/ISAPI/Gui/UrgentConfig", "400", "Bad", 1, "emergency",
       "Unsupported Emergency Request Code: 400"},
      {"/ISAPI/VideoAdvert/RequestUploadList", "503", "Full", 2, "adUploadRequest",
       "NO Enough Space"},
      {"/ISAPI/VideoAdvert/RequestUploadList", "400", "x", 2, "adUploadRequest",
       "Unsupported Ad Upload Request Code: 400"},
      {"/ISAPI/VideoAdvert/RequestUploadList", "200", "OK", 1, "", ""},
      {"/ISAPI/VideoAdvert/VideoAdvertConfig", "200", "OK", 1, "adSwitch", "OK"},
      {"/ISAPI/DeviceInfo", "1", "OK", 1, "devName", "OK"},
      {"/ISAPI/VideoAdvert/ScreenSwitch", "1", "OK", 1, "screen", "OK"},
      {"/ISAPI/VideoAdvert/ScreenSwitch", "404", "Not Found", 1, "screen", "ERROR"},
      {"/ISAPI/DeviceInfo", "200", "Ok", 1, "devName", "ERROR"},
      {"/ISAPI/VideoAdvert/ClearFileList", "200", "OK", 1, "clear", "OK"},
      {"/ISAPI/Gui/Banner/BrandCustom", "500", "OK", 1, "brand", "ERROR"},
      {"/ISAPI/Gui/Banner/Deterrence", "200", "OK", 1, "deterrence", "OK"},
      {"/ISAPI/VideoAdvert/FetchListConfig", "500", "No", 2, "", ""},
      {"/ISAPI/Unknown", "200", "OK", 1, "", ""},
  };
  for (const auto& c : cases) {
    context->deviceTasks = json::array();
    messages.clear();
    json uris = json::array(), bodies = json::array();
    for (size_t i = 0; i < c.requests; ++i) uris.push_back("GET /x?ID="), bodies.push_back("");
    addTask({{"uri", uris}, {"httpBody", bodies}});
    reply(status(c.url, c.code, c.text));
    json expected =
        c.type.empty() ? json() : message(c.type, {{"status", c.reported}, {"ip", kPeer}});
    EXPECT_EQ(lastMessage(), expected) << c.url << " " << c.code;
  }
}

TEST_F(DeviceReplies, StatusAndParseProblemsAreReportedWithoutATask) {
  struct Case {
    int code;
    std::string body, type, reported, result;
  } cases[] = {
      {999, "", "device", "mgerror", "OK"},
      {1000, "", "device", "mgclose", "OK"},
      {401, "<x/>", "device", "Unsupported code: 401", "ERROR"},
      {200, "<ResponseStatus><RequestURL>", "parse", "ERROR", "ERROR"},
      {200, "   ", "parse", "ERROR", "ERROR"},
  };
  for (const auto& c : cases) {
    messages.clear();
    EXPECT_EQ(reply(c.body, c.code, "10.9.9.9:5000"), c.result) << c.code;
    EXPECT_EQ(lastMessage(), message(c.type, {{"status", c.reported}, {"ip", "10.9.9.9:5000"}}))
        << c.code << c.body;
  }
  messages.clear();
  EXPECT_EQ(reply(status("/ISAPI/Security/Login", "401", "Unauthenticated"), 200, "10.9.9.9:80"),
            "ERROR");
  EXPECT_EQ(reply("", 200, "10.9.9.9:80"), "ERROR");
  EXPECT_EQ(reply("<Other><A>1</A></Other>"), "ERROR");
  EXPECT_EQ(messages.size(), 0u);
}

TEST_F(DeviceReplies, TaskIsFoundByTheWholeHost) {
  addTask({{"ip", "192.168.1.1:80"}});
  addTask({{"ip", "192.168.1.10:80"}});
  reply(status("/ISAPI/Security/Login", "401", "Unauthenticated", "<SessionId>X</SessionId>"), 200,
        "192.168.1.10:80");
  EXPECT_EQ(task(0)["status"], "");
  EXPECT_EQ(task(1)["status"], "401");
}

TEST_F(DeviceReplies, ConfigurationUploadSendsDataThenClosesOnce) {
  for (size_t size : {1234u, 0u}) {
    context->deviceTasks = json::array();
    messages.clear();
    std::string package(size, 'z');
    addTask({{"id", "S"},
             {"status", "401"},
             {"uri", {"POST /ISAPI/UploadFile/TemplateConfig?name=abc.conf"}},
             {"httpBody", {package}},
             {"offset", 0},
             {"filesize", size}});
    const std::string prefix = "POST /ISAPI/UploadFile/TemplateConfig?name=abc.conf&offset=";
    const std::string head =
        " HTTP/1.1\r\nHost: " + kPeer + "\r\nContent-Type: application/conf\r\n";
    EXPECT_EQ(reply(status("/ISAPI/Security/Login", "200", "OK")),
              prefix + "0&ID=S" + head + "Content-Length: " + std::to_string(size) +
                  "\r\nConnection: keep-alive\r\n\r\n" + package);
    EXPECT_EQ(reply(""),
              prefix + std::to_string(size) + "&ID=S" + head + "Content-Length: 0\r\n\r\n");
    EXPECT_EQ(task()["offset"], size);
    EXPECT_EQ(reply(""), "");
    EXPECT_EQ(lastMessage(), message("configure", {{"status", "OK"}, {"ip", kPeer}}));
    EXPECT_EQ(reply(""), "ERROR") << "nothing more after the report";
    EXPECT_EQ(messages.size(), 1u);
  }
}

TEST_F(DeviceReplies, FetchNotifications) {
  addTask({{"ip", "10.77.1.10:80"},
           {"uri", {"POST /ISAPI/VideoAdvert/RequestUploadList?ID="}},
           {"awaiting", "NotifyFetchResult"}});
  addTask({{"ip", "10.77.1.11:80"},
           {"uri", {"PUT /ISAPI/Gui/UrgentConfig?ID="}},
           {"awaiting", "NotifyFetchResult"}});
  const std::string result =
      "<NotifyFetchResult><TotalCount>3</TotalCount><SucceedCount>2</SucceedCount>"
      "<FailedCount>1</FailedCount></NotifyFetchResult>";
  EXPECT_EQ(reply(result, 200, "10.77.1.10:41000"), "OK");
  EXPECT_EQ(lastMessage(), message("playlist", {{"status", "finish"},
                                                {"total", "3"},
                                                {"success", "2"},
                                                {"failed", "1"},
                                                {"ip", "10.77.1.10:41000"}}));
  reply(
      "<NotifyFetchResult><TotalCount>1</TotalCount><SucceedCount>1</SucceedCount>"
      "</NotifyFetchResult>",
      200, "10.77.1.11:41001");
  EXPECT_EQ(lastMessage(), message("emergency", {{"status", "finish"},
                                                 {"total", "1"},
                                                 {"success", "1"},
                                                 {"failed", ""},
                                                 {"ip", "10.77.1.11:41001"}}));
  size_t before = messages.size();
  EXPECT_EQ(reply(result, 200, "10.77.2.10:41002"), "ERROR");
  EXPECT_EQ(messages.size(), before) << "a display without a task is not reported";

  struct Firmware {
    std::string code, text, reported;
  } firmware[] = {{"200", "OK", "OK"}, {"1", "OK", "OK"}, {"500", "Failed", "ERROR"}};
  for (const auto& f : firmware) {
    addTask({{"ip", "10.77.5.5:80"}, {"awaiting", "NotifyFetchFirmware"}});
    EXPECT_EQ(reply("<NotifyFetchFirmware><StatusCode>" + f.code + "</StatusCode><StatusString>" +
                        f.text + "</StatusString></NotifyFetchFirmware>",
                    200, "10.77.5.5:4000"),
              "OK");
    EXPECT_EQ(lastMessage(),
              message("firmware", {{"status", f.reported}, {"ip", "10.77.5.5:4000"}}));
  }
}

TEST_F(DeviceReplies, HostileXmlIsNotExpanded) {
  addTask({});
  const std::string bomb =
      "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b "
      "\"&a;&a;&a;&a;&a;\">"
      "<!ENTITY file SYSTEM \"file:///etc/passwd\">]>"
      "<ResponseStatus><RequestURL>/ISAPI/Security/Login</RequestURL><StatusCode>401</StatusCode>"
      "<StatusString>Unauthenticated</StatusString><SessionId>&file;&b;</SessionId></"
      "ResponseStatus>";
  reply(bomb);
  EXPECT_EQ(task()["id"].get<std::string>().find("root:"), std::string::npos);
}

TEST(EscapeXml, TurnsMarkupIntoEntitiesAndKeepsEverythingElse) {
  struct Case {
    const char* raw;
    const char* escaped;
  };
  const Case cases[] = {
      {"<a href=\"x\">&'</a>", "&lt;a href=&quot;x&quot;&gt;&amp;&apos;&lt;/a&gt;"},
      {"&amp;", "&amp;amp;"},
      {"Grüße 映像", "Grüße 映像"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(escapeXml(c.raw), c.escaped) << c.raw;
  EXPECT_EQ(escapeXml(std::string_view("a\0b", 3)), std::string("a\0b", 3));
}

TEST(DeviceHost, IsTheTextBeforeTheFirstColon) {
  EXPECT_EQ(deviceHost("192.168.1.64:80"), "192.168.1.64");
  EXPECT_EQ(deviceHost("192.168.1.64"), "192.168.1.64");
}

}  // namespace

namespace {

const std::string kFetched =
    "<NotifyFetchResult><TotalCount>2</TotalCount><SucceedCount>2</SucceedCount>"
    "<FailedCount>0</FailedCount></NotifyFetchResult>";
const std::string kFirmwareOk =
    "<NotifyFetchFirmware><StatusCode>200</StatusCode><StatusString>OK</StatusString>"
    "</NotifyFetchFirmware>";

TEST_F(DeviceReplies, FetchResultsAreCreditedOnlyToTheFetchTheDisplayAccepted) {
  const json playlist = {{"uri",
                          {"PUT /ISAPI/VideoAdvert/RequestUploadList?ID=",
                           "PUT /ISAPI/VideoAdvert/FetchListConfig?ID="}},
                         {"httpBody", {"<R/>", "<F/>"}}};
  const json firmware = {{"uri", {"PUT /ISAPI/System/FetchFirmware?ID="}}, {"httpBody", {"<F/>"}}};
  struct Case {
    const char* name;
    json task;                          // null: no task at all
    std::vector<std::string> answers;   // what the display answered before it posts
    std::vector<std::string> notices;   // posted one after the other
    std::vector<std::string> reported;  // "T" of each page message
  } cases[] = {
      {"login only",
       json::object(),
       {status("/ISAPI/Security/Login", "200", "OK")},
       {kFetched},
       {}},
      {"list not yet answered", playlist, {}, {kFetched}, {}},
      {"list refused",
       playlist,
       {status("/ISAPI/VideoAdvert/FetchListConfig", "500", "No")},
       {kFetched},
       {}},
      {"list accepted, result posted twice",
       playlist,
       {status("/ISAPI/VideoAdvert/FetchListConfig", "200", "OK")},
       {kFetched, kFetched},
       {"playlist"}},
      {"firmware without a task", json(), {}, {kFirmwareOk}, {}},
      {"firmware to a playlist",
       playlist,
       {status("/ISAPI/VideoAdvert/FetchListConfig", "200", "OK")},
       {kFirmwareOk},
       {}},
      {"firmware accepted",
       firmware,
       {status("/ISAPI/System/FetchFirmware", "1", "OK")},
       {kFirmwareOk, kFirmwareOk},
       {"firmware"}},
  };
  for (const auto& c : cases) {
    context->deviceTasks = json::array();
    messages.clear();
    if (!c.task.is_null()) addTask(c.task);
    for (const auto& answer : c.answers) reply(answer);
    messages.clear();
    for (const auto& notice : c.notices)
      EXPECT_EQ(reply(notice, kStatusNotification, "10.77.1.10:41000"), "OK");
    std::vector<std::string> reported;
    for (const auto& m : messages) reported.push_back(m["T"]);
    EXPECT_EQ(reported, c.reported) << c.name;
  }
}

TEST_F(DeviceReplies, UndecodableDocumentsLeaveStderrAlone) {
  const std::string body =
      "<?xml version=\"1.0\" encoding=\"EUC-JP\"?><ResponseStatus>\xff\xff\xff</ResponseStatus>";
  addTask({});
  struct Case {
    const char* name;
    std::function<void()> parse;
  } cases[] = {
      {"display answer", [&] { reply(body); }},
      {"datagram",
       [&] {
         std::string record;
         parseDeviceRecord(body, record);
       }},
  };
  for (const auto& c : cases) {
    ::testing::internal::CaptureStderr();
    c.parse();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << c.name;
  }
}

}  // namespace
