// The bodies and tasks that display operations queue. Displays are given loopback addresses
// on closed ports, so nothing leaves the machine; the local interface list is made up.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <thread>

#include "app/app_context.h"
#include "commands/dispatcher.h"
#include "commands/playlists.h"
#include "device/http_service.h"
#include "discovery/local_interfaces.h"
#include "media/file_reading.h"
#include "platform/crypto.h"
#include "platform/file_system.h"
#include "unit/fake_display.h"
#include "unit/test_support.h"

using nlohmann::json;

namespace {

class Deploy : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write("config.yaml", "notification: {port: 8080}\nsearch: {port: 1}\nlanguage: en\n");
    context = makeContext(dir);
    ASSERT_TRUE(context);
    overrideSystemAddresses([this] {
      ++scans;
      // Asked from another thread: a lock held by this one would not show otherwise. Tried a
      // while, as the network thread takes it for a moment when a connection of a case fails.
      lockFree = lockFree && std::async(std::launch::async, [this] {
                               for (int attempt = 0; attempt < 200; ++attempt) {
                                 if (std::unique_lock(context->deviceTasksMutex, std::try_to_lock))
                                   return true;
                                 std::this_thread::sleep_for(std::chrono::milliseconds(1));
                               }
                               return false;
                             }).get();
      // 127.0.1.5/24 and 127.0.2.5/24
      return std::vector<SystemAddress>{{"eth0", "eth0", 0x7f000105, 24, true, ""},
                                        {"eth0", "eth0", 0x7f000205, 24, true, ""}};
    });
    context->httpService = std::make_unique<HttpService>();
    context->httpService->startPolling();
    ASSERT_EQ(context->httpService->startListeners(dir.file("web"), {"127.0.0.1"}, freePort()), 0);
    // A sparse 5 GB video: its size does not fit in 32 bits.
    dir.write({"web/media/a b+ü.mp4", "a", "web/media/b.png", std::string(24, 'b'),
               "web/conf/p.json",
               R"({"playlist":[{"url":"a b+ü.mp4","id":4294967295,"type":1,)"
               R"("duration":10.9},{"url":"b.png","id":4294967303.0,"type":255,"duration":5}]})"});
    std::filesystem::resize_file(pathFromUtf8(dir.file("web/media/a b+ü.mp4")), 5000000000u);
  }
  void TearDown() override {
    context->page.close();
    context->httpService.reset();
    overrideSystemAddresses(nullptr);
  }

  std::string dispatch(const json& message) {
    return dispatchPageMessage(*context, message.dump());
  }
  // The queued tasks with the members the page request decides.
  json tasks() {
    std::lock_guard lock(context->deviceTasksMutex);
    json list = json::array();
    for (const auto& task : context->deviceTasks) {
      json entry = {{"uri", task->uris},
                    {"httpBody", task->bodies},
                    {"filecount", task->fileCount},
                    {"totalsize", task->totalSize},
                    {"filename", task->fileName},
                    {"filesize", task->fileSize}};
      list.push_back(entry);
    }
    return list;
  }
  static json request(const std::string& command, const std::string& type, json payload) {
    payload.update({{"user", "admin"}, {"pass", "pw"}, {"ip", {"127.0.1.20:9", "127.0.2.20:9"}}});
    return {{"C", command}, {"T", type}, {"V", 1}, {"P", payload}};
  }

  TempAppFolder dir;
  std::unique_ptr<AppContext> context;
  int scans = 0;  // of the local interfaces
  bool lockFree = true;
};

// Every body as the display gets it; $H stands for the host's address in the display's subnet.
TEST_F(Deploy, BodiesOnTheWire) {
  dir.write({"web/logo.png", "\x89PNG\r\n\x1a\n" + std::string(40, 'x'), "web/settings.conf",
             std::string(1234, 'c'), "outside.png", "not for the page to read"});
  std::string logo = readFileText(dir.file("web/logo.png"), true);  // CR goes as a reference
  for (size_t at; (at = logo.find('\r')) != std::string::npos;) logo.replace(at, 1, "&#xD;");
  const std::string upload =
      "<RequestUploadList><TotalFileCount>2</TotalFileCount><TotalFileSize>5000000024"
      "</TotalFileSize></RequestUploadList>";
  const std::string fetch =
      "<FetchListConfig><ListCount>2</ListCount><NotifyServerHost>$H</NotifyServerHost>"
      "<NotifyServerPort>8080</NotifyServerPort><FetchList_0><FileID>-1</FileID><PlayType>1"
      "</PlayType><Duration>10</Duration><FetchURL>http://$H:8080/media/a%20b%2B%C3%BC.mp4"
      "</FetchURL></FetchList_0><FetchList_1><FileID>7</FileID><PlayType>255</PlayType><Duration>5"
      "</Duration><FetchURL>http://$H:8080/media/b.png</FetchURL></FetchList_1></FetchListConfig>";
  const std::string stored = md5HexDigest("s.conf") + ".conf";
  struct Case {
    const char *command, *type;
    json payload;
    std::vector<std::string> uris, bodies;  // bodies: XML without declaration, or raw
    json extra;
  } cases[] = {
      // clang-format off
      {"deploy", "playlist", {{"file", "p.json"}}, {"PUT /ISAPI/VideoAdvert/RequestUploadList?ID=",
        "PUT /ISAPI/VideoAdvert/FetchListConfig?ID="}, {upload, fetch},
       {{"filecount", "2"}, {"totalsize", "5000000024"}}},
      {"deploy", "emergency", {{"enable", "0"}}, {"PUT /ISAPI/Gui/UrgentConfig?ID="},
       {"<UrgentConfig><Enabled>0</Enabled></UrgentConfig>"}, {{"filecount", "0"}, {"totalsize", "0"}}},
      {"deploy", "brand", {{"enable", "0"}, {"x", "1"}, {"y", "2"}, {"width", "3"}, {"height", "4"},
        {"title", "A & B.png"}, {"path", dir.file("web/logo.png")}}, {"PUT /ISAPI/Gui/Banner/BrandCustom?ID="},
       {"<Banner><BrandCustom><Enabled>0</Enabled><PosX>1</PosX><PosY>2</PosY><Width>3</Width><Height>4"
        "</Height><ImageName>A &amp; B.png</ImageName><ImageContent>" + logo +
        "</ImageContent></BrandCustom></Banner>"}, json::object()},
      {"deploy", "greeting", {{"pir", "1"}, {"motion", "0"}, {"alarm", "1"}, {"face", "0"}},
       {"PUT /ISAPI/Gui/Banner/Deterrence?ID="},
       {"<Banner><DeterrenceAudio><PIRTrigger>1</PIRTrigger><MotionTrigger>0</MotionTrigger>"
        "<AlarmInTrigger>1</AlarmInTrigger><FaceTrigger>0</FaceTrigger></DeterrenceAudio></Banner>"},
       json::object()},
      {"deploy", "banner", {{"always", "1"}, {"title", "t"}, {"path", dir.file("web/../outside.png")},
        {"pir", "0"}, {"motion", "1"}, {"alarm", "0"}, {"face", "1"}}, {"PUT /ISAPI/Gui/Banner/Deterrence?ID="},
       {"<Banner><DeterrenceMsg><AlwaysOn>1</AlwaysOn><ImageName>t</ImageName><ImageContent></ImageContent>"
        "<PIRTrigger>0</PIRTrigger><MotionTrigger>1</MotionTrigger><AlarmInTrigger>0</AlarmInTrigger>"
        "<FaceTrigger>1</FaceTrigger></DeterrenceMsg></Banner>"}, json::object()},
      {"undeploy", "playlist", json::object(), {"PUT /ISAPI/VideoAdvert/ClearFileList?ID="},
       {"<ClearFileList><Enabled>1</Enabled></ClearFileList>"}, json::object()},
      {"set", "ad", {{"cmd", "0"}}, {"PUT /ISAPI/VideoAdvert/VideoAdvertConfig?ID="},
       {"<VideoAdvertConfig><Enabled>0</Enabled></VideoAdvertConfig>"}, json::object()},
      {"set", "adCamSwitch", {{"cmd", "1"}}, {"PUT /ISAPI/VideoAdvert/VideoAdvertConfig?ID="},
       {"<VideoAdvertConfig><DynamicSwitchFull>1</DynamicSwitchFull></VideoAdvertConfig>"}, json::object()},
      {"set", "screen", {{"cmd", "0"}}, {"PUT /ISAPI/VideoAdvert/ScreenSwitch?ID="},
       {"<ScreenSwitch><Enabled>0</Enabled></ScreenSwitch>"}, json::object()},
      {"set", "devName", {{"devName", "Lobby <1>"}, {"devId", "SN1"}, {"devMode", "M"},
        {"devVersion", "V1"}, {"info", ""}}, {"PUT /ISAPI/DeviceInfo?ID="},
       {"<DeviceInfo><DeviceName>Lobby &lt;1&gt;</DeviceName><DeviceID>SN1</DeviceID><DeviceModel>M"
        "</DeviceModel><SoftwareVer>V1</SoftwareVer><FactoryInfo></FactoryInfo></DeviceInfo>"},
       json::object()},
      {"deploy", "firmware", {{"title", "up date#1.epak"}}, {"PUT /ISAPI/System/FetchFirmware?ID="},
       {"<FetchFirmware><NotifyServerHost>$H</NotifyServerHost><NotifyServerPort>8080</NotifyServerPort>"
        "<NotifyServerURL>/ISAPI/System/NotifyFetchFirmware</NotifyServerURL><FetchURL>"
        "http://$H:8080/firmware/up%20date%231.epak</FetchURL></FetchFirmware>"}, json::object()},
      {"deploy", "configure", {{"title", "s.conf"}, {"path", dir.file("web/settings.conf")}},
       {"POST /ISAPI/UploadFile/TemplateConfig?name=" + stored}, {std::string(1234, 'c')},
       {{"filename", stored}, {"filesize", 1234}}},
      // clang-format on
  };
  for (const auto& c : cases) {
    scans = 0;
    EXPECT_EQ(dispatch(request(c.command, c.type, c.payload)), "") << c.type;
    EXPECT_LE(scans, 1) << c.type << ": once per deploy, not per display";
    EXPECT_TRUE(lockFree) << c.type << ": bodies are built before the tasks are locked";
    json queued = tasks();
    ASSERT_EQ(queued.size(), 2u) << c.type;
    for (int i = 0; i < 2; ++i) {
      const std::string host = "127.0." + std::to_string(i + 1) + ".5";
      std::vector<std::string> bodies;
      for (std::string body : c.bodies) {
        for (size_t at; (at = body.find("$H")) != std::string::npos;) body.replace(at, 2, host);
        bodies.push_back(body[0] == '<' ? "<?xml version=\"1.0\"?>\n" + body + "\n" : body);
      }
      EXPECT_EQ(queued[i]["uri"], c.uris) << c.type;
      EXPECT_EQ(queued[i]["httpBody"], bodies) << c.type << " " << host;
      for (const auto& [key, value] : c.extra.items()) EXPECT_EQ(queued[i][key], value) << key;
    }
  }
}

TEST_F(Deploy, RefusedDeploysSendNothing) {
  dir.write(
      {"web/conf/gap.json",
       R"({"playlist":[{"url":"b.png","id":1,"type":1,"duration":3},)"
       R"({"url":"gone.mp4","id":2,"type":1,"duration":3}]})",
       "web/conf/bad.json", R"({"playlist":[{"url":"b.png","id":"1"}]})", "web/conf/escape.json",
       R"({"playlist":[{"url":"../../config.yaml","id":1,"type":1,"duration":1}]})",
       "web/conf/empty.json", R"({"playlist":[]})", "web/conf/broken.json", R"({"playlist":[)"});
  const std::pair<const char*, const char*> files[] = {
      {"empty.json", "nofile"},   {"missing.json", "nofile"}, {"broken.json", "nofile"},
      {"bad.json", "nofile"},     {"../x.json", "nofile"},    {"gap.json", "zerosize"},
      {"escape.json", "zerosize"}};
  for (const auto& [file, status] : files) {
    EXPECT_EQ(
        dispatch(request("deploy", "playlist", {{"file", file}})),
        R"({"C":"error","P":{"status":")" + std::string(status) + R"("},"T":"playlist","V":1})");
    EXPECT_TRUE(tasks().empty()) << file;
  }
  // Members missing or of the wrong type: nothing is sent, nothing is answered.
  for (const auto& m : json::parse(R"([["deploy","emergency",{"file":"p.json"}],
      ["deploy","brand",{"x":"1"}], ["deploy","banner",{"always":"1","pir":"1"}],
      ["deploy","greeting",{"pir":"1","motion":"1","alarm":"1"}], ["deploy","firmware",{}],
      ["deploy","firmware",{"title":"../x.epak"}], ["deploy","configure",{"title":"a.conf"}],
      ["set","ad",{"cmd":1}], ["set","devName",{"devName":"x"}]])")) {
    EXPECT_EQ(dispatch(request(m[0], m[1], m[2])), "") << m;
    EXPECT_TRUE(tasks().empty()) << m;
  }
  for (const char* noPass :
       {R"({"C":"deploy","T":"playlist","V":1,"P":{"file":"p.json"}})",
        R"({"C":"set","T":"ad","V":1,"P":{"cmd":"1","user":"a","ip":["127.0.1.20:9"]}})"}) {
    EXPECT_EQ(dispatch(json::parse(noPass)), "");
    EXPECT_TRUE(tasks().empty()) << noPass;
  }
  context->httpService->closeListeners();
  EXPECT_EQ(dispatch(request("deploy", "playlist", {{"file", "p.json"}})),
            R"({"C":"error","P":{"status":"deploy"},"T":"mgService","V":1})");
  EXPECT_TRUE(tasks().empty());
}

}  // namespace
