// The bodies and tasks that display operations queue. Displays are given loopback addresses
// on closed ports, so nothing leaves the machine; the local interface list is made up.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <filesystem>
#include <future>
#include <memory>

#include "app/app_context.h"
#include "app/json_fields.h"
#include "commands/dispatcher.h"
#include "commands/playlists.h"
#include "commands/xml_body.h"
#include "device/http_service.h"
#include "device/percent_encoding.h"
#include "discovery/local_interfaces.h"
#include "media/file_utils.h"
#include "unit/test_support.h"

using nlohmann::json;

namespace {

SystemAddress local(const char* ip, int prefix) {
  in_addr parsed{};
  inet_pton(AF_INET, ip, &parsed);
  return {"eth0", ntohl(parsed.s_addr), prefix, 1, false, ""};
}

class Deploy : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write("config.yaml", "notification: {port: 8080}\nsearch: {port: 1}\nlanguage: en\n");
    context = makeContext(dir);
    ASSERT_TRUE(context);
    overrideSystemAddresses([] {
      return std::vector<SystemAddress>{local("127.0.1.5", 24), local("127.0.2.5", 24)};
    });
    context->httpService = std::make_unique<HttpService>();
    context->httpService->startPolling();
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor probe(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    int port = probe.local_endpoint().port();
    probe.close();
    ASSERT_EQ(context->httpService->startListeners(dir.file("web"), {"127.0.0.1"}, port), 0);
  }
  void TearDown() override {
    context->page.close();
    context->httpService.reset();
    overrideSystemAddresses(nullptr);
  }

  std::string dispatch(const json& message) {
    return dispatchPageMessage(*context, message.dump());
  }
  json tasks() {
    std::lock_guard lock(context->deviceTasksMutex);
    return context->deviceTasks;
  }
  static json request(const char* command, const char* type, json payload) {
    payload["user"] = "admin";
    payload["pass"] = "pw";
    if (!payload.contains("ip")) payload["ip"] = {"127.0.1.20:9"};
    return {{"C", command}, {"T", type}, {"V", 1}, {"P", payload}};
  }

  TempAppFolder dir;
  std::unique_ptr<AppContext> context;
};

const std::string kDecl = "<?xml version=\"1.0\"?>\n";

TEST_F(Deploy, PlaylistBodiesPerDisplay) {
  // A sparse 5 GB video: its size does not fit in 32 bits.
  dir.write("web/media/a.mp4", std::string(1000, 'a'));
  std::filesystem::resize_file(dir.file("web/media/a.mp4"), 5000000000u);
  dir.write("web/media/b.png", std::string(24, 'b'));
  ASSERT_TRUE(savePlaylist(dir.path(), "p.json", json::parse(R"([
      {"url":"a.mp4","id":4294967295,"type":1,"duration":10.9,"title":"A"},
      {"url":"b.png","id":7,"type":255,"duration":5,"title":"B"}])")));
  EXPECT_EQ(dispatch(request("deploy", "playlist",
                             {{"file", "p.json"}, {"ip", {"127.0.1.20:9", "127.0.2.20:9"}}})),
            "");
  json queued = tasks();
  ASSERT_EQ(queued.size(), 2u);
  const json uris = {"PUT /ISAPI/VideoAdvert/RequestUploadList?ID=",
                     "PUT /ISAPI/VideoAdvert/FetchListConfig?ID="};
  for (size_t i = 0; i < 2; ++i) {
    const std::string host = i == 0 ? "127.0.1.5" : "127.0.2.5";
    EXPECT_EQ(queued[i]["uri"], uris);
    EXPECT_EQ(queued[i]["filecount"], "2");
    EXPECT_EQ(queued[i]["totalsize"], "5000000024");
    EXPECT_EQ(queued[i]["httpBody"][0],
              kDecl +
                  "<RequestUploadList><TotalFileCount>2</TotalFileCount>"
                  "<TotalFileSize>5000000024</TotalFileSize></RequestUploadList>\n");
    EXPECT_EQ(queued[i]["httpBody"][1],
              kDecl + "<FetchListConfig><ListCount>2</ListCount><NotifyServerHost>" + host +
                  "</NotifyServerHost><NotifyServerPort>8080</NotifyServerPort>"
                  "<FetchList_0><FileID>-1</FileID><PlayType>1</PlayType><Duration>10</Duration>"
                  "<FetchURL>http://" +
                  host +
                  ":8080/media/a.mp4</FetchURL></FetchList_0>"
                  "<FetchList_1><FileID>7</FileID><PlayType>255</PlayType><Duration>5</Duration>"
                  "<FetchURL>http://" +
                  host +
                  ":8080/media/b.png</FetchURL></FetchList_1>"
                  "</FetchListConfig>\n");
  }
}

TEST_F(Deploy, EmergencyOrderAndErrors) {
  dir.write("web/media/a.mp4", "aaaa");
  ASSERT_TRUE(savePlaylist(dir.path(), "p.json",
                           json::parse(R"([{"url":"a.mp4","id":1,"type":255,"duration":3}])")));
  ASSERT_TRUE(savePlaylist(dir.path(), "gap.json", json::parse(R"([
      {"url":"a.mp4","id":1,"type":1,"duration":3},{"url":"gone.mp4","id":2,"type":1,"duration":3},
      {"url":"a.mp4","id":3,"type":1,"duration":3}])")));
  ASSERT_TRUE(savePlaylist(dir.path(), "bad.json", json::parse(R"([{"url":"a.mp4","id":"1"}])")));
  ASSERT_TRUE(
      savePlaylist(dir.path(), "escape.json",
                   json::parse(R"([{"url":"../../config.yaml","id":1,"type":1,"duration":1}])")));
  dir.write("web/conf/empty.json", R"({"playlist":[]})");
  dir.write("web/conf/broken.json", R"({"playlist":[)");

  EXPECT_EQ(dispatch(request("deploy", "emergency", {{"enable", "1"}, {"file", "p.json"}})), "");
  json uris = tasks()[0]["uri"];
  EXPECT_EQ(uris,
            json({"PUT /ISAPI/Gui/UrgentConfig?ID=", "PUT /ISAPI/VideoAdvert/RequestUploadList?ID=",
                  "PUT /ISAPI/VideoAdvert/FetchListConfig?ID="}));
  EXPECT_EQ(tasks()[0]["httpBody"][0],
            kDecl + "<UrgentConfig><Enabled>1</Enabled></UrgentConfig>\n");

  EXPECT_EQ(dispatch(request("deploy", "emergency", {{"enable", "0"}})), "");
  EXPECT_EQ(tasks()[0]["uri"], json({"PUT /ISAPI/Gui/UrgentConfig?ID="}));
  EXPECT_EQ(tasks()[0]["filecount"], "0");
  EXPECT_EQ(tasks()[0]["totalsize"], "0");

  struct Case {
    const char* file;
    const char* status;
  } cases[] = {{"empty.json", "nofile"},   {"missing.json", "nofile"}, {"broken.json", "nofile"},
               {"bad.json", "nofile"},     {"../x.json", "nofile"},    {"gap.json", "zerosize"},
               {"escape.json", "zerosize"}};
  for (const auto& c : cases) {
    {
      std::lock_guard lock(context->deviceTasksMutex);
      context->deviceTasks = json::array();
    }
    json message = request("deploy", "playlist", {{"file", c.file}});
    message["V"] = 3;
    EXPECT_EQ(
        dispatch(message),
        json({{"C", "error"}, {"T", "playlist"}, {"V", 3}, {"P", {{"status", c.status}}}}).dump())
        << c.file;
    EXPECT_TRUE(tasks().empty()) << c.file;
  }
  // Missing members send nothing and answer nothing.
  EXPECT_EQ(dispatch(request("deploy", "emergency", {{"file", "p.json"}})), "");
  EXPECT_EQ(dispatch({{"C", "deploy"}, {"T", "playlist"}, {"V", 1}, {"P", {{"file", "p.json"}}}}),
            "");
  EXPECT_TRUE(tasks().empty());
}

TEST_F(Deploy, WithoutAListenerThePageHearsOfIt) {
  context->httpService->closeListeners();
  dir.write("web/media/a.mp4", "aaaa");
  ASSERT_TRUE(savePlaylist(dir.path(), "p.json",
                           json::parse(R"([{"url":"a.mp4","id":1,"type":1,"duration":3}])")));
  EXPECT_EQ(dispatch(request("deploy", "playlist", {{"file", "p.json"}})),
            R"({"C":"error","P":{"status":"deploy"},"T":"mgService","V":1})");
  EXPECT_TRUE(tasks().empty());
}

TEST_F(Deploy, SettingBodies) {
  dir.write("web/logo.png", "\x89PNG\r\n\x1a\n" + std::string(40, 'x'));
  dir.write("outside.png", "not for the page to read");
  const std::string logo64 = readFileText(dir.file("web/logo.png"), true);
  auto escaped = [](std::string text) {  // CR is written as a character reference
    for (size_t at; (at = text.find('\r')) != std::string::npos;) text.replace(at, 1, "&#xD;");
    return text;
  };
  struct Case {
    const char* command;
    const char* type;
    json payload;
    const char* uri;
    std::string body;
  } cases[] = {
      {"deploy",
       "brand",
       {{"enable", "1"}, {"x", "10"}, {"y", "20"}},
       "PUT /ISAPI/Gui/Banner/BrandCustom?ID=",
       "<Banner><BrandCustom><Enabled>1</Enabled><PosX>10</PosX><PosY>20</PosY></BrandCustom></"
       "Banner>"},
      {"deploy",
       "brand",
       {{"enable", "0"},
        {"x", "1"},
        {"y", "2"},
        {"width", "3"},
        {"height", "4"},
        {"title", "A & B.png"},
        {"path", dir.file("web/logo.png")}},
       "PUT /ISAPI/Gui/Banner/BrandCustom?ID=",
       "<Banner><BrandCustom><Enabled>0</Enabled><PosX>1</PosX><PosY>2</PosY><Width>3</Width>"
       "<Height>4</Height><ImageName>A &amp; B.png</ImageName><ImageContent>" +
           escaped(logo64) + "</ImageContent></BrandCustom></Banner>"},
      {"deploy",
       "greeting",
       {{"pir", "1"}, {"motion", "0"}, {"alarm", "1"}, {"face", "0"}},
       "PUT /ISAPI/Gui/Banner/Deterrence?ID=",
       "<Banner><DeterrenceAudio><PIRTrigger>1</PIRTrigger><MotionTrigger>0</MotionTrigger>"
       "<AlarmInTrigger>1</AlarmInTrigger><FaceTrigger>0</FaceTrigger></DeterrenceAudio></Banner>"},
      {"deploy",
       "banner",
       {{"always", "1"},
        {"title", "t"},
        {"path", dir.file("web/../outside.png")},
        {"pir", "0"},
        {"motion", "1"},
        {"alarm", "0"},
        {"face", "1"}},
       "PUT /ISAPI/Gui/Banner/Deterrence?ID=",
       "<Banner><DeterrenceMsg><AlwaysOn>1</AlwaysOn><ImageName>t</ImageName><ImageContent></"
       "ImageContent>"
       "<PIRTrigger>0</PIRTrigger><MotionTrigger>1</MotionTrigger><AlarmInTrigger>0</"
       "AlarmInTrigger>"
       "<FaceTrigger>1</FaceTrigger></DeterrenceMsg></Banner>"},
      {"undeploy", "playlist", json::object(), "PUT /ISAPI/VideoAdvert/ClearFileList?ID=",
       "<ClearFileList><Enabled>1</Enabled></ClearFileList>"},
      {"set",
       "ad",
       {{"cmd", "0"}},
       "PUT /ISAPI/VideoAdvert/VideoAdvertConfig?ID=",
       "<VideoAdvertConfig><Enabled>0</Enabled></VideoAdvertConfig>"},
      {"set",
       "adCamSwitch",
       {{"cmd", "1"}},
       "PUT /ISAPI/VideoAdvert/VideoAdvertConfig?ID=",
       "<VideoAdvertConfig><DynamicSwitchFull>1</DynamicSwitchFull></VideoAdvertConfig>"},
      {"set",
       "screen",
       {{"cmd", "0"}},
       "PUT /ISAPI/VideoAdvert/ScreenSwitch?ID=",
       "<ScreenSwitch><Enabled>0</Enabled></ScreenSwitch>"},
      {"set",
       "devName",
       {{"devName", "Lobby <1>"},
        {"devId", "SN1"},
        {"devMode", "M"},
        {"devVersion", "V1"},
        {"info", ""}},
       "PUT /ISAPI/DeviceInfo?ID=",
       "<DeviceInfo><DeviceName>Lobby &lt;1&gt;</DeviceName><DeviceID>SN1</DeviceID>"
       "<DeviceModel>M</DeviceModel><SoftwareVer>V1</SoftwareVer><FactoryInfo></FactoryInfo></"
       "DeviceInfo>"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(dispatch(request(c.command, c.type, c.payload)), "") << c.type;
    json queued = tasks();
    ASSERT_EQ(queued.size(), 1u) << c.type;
    EXPECT_EQ(queued[0]["uri"], json({c.uri})) << c.type;
    EXPECT_EQ(queued[0]["httpBody"], json({kDecl + c.body + "\n"})) << c.type;
  }
}

TEST_F(Deploy, FirmwareAndConfigurationPackages) {
  EXPECT_EQ(
      dispatch(request("deploy", "firmware",
                       {{"title", "up date#1.epak"}, {"ip", {"127.0.1.20:9", "127.0.2.20:9"}}})),
      "");
  json queued = tasks();
  ASSERT_EQ(queued.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    const std::string host = i == 0 ? "127.0.1.5" : "127.0.2.5";
    EXPECT_EQ(queued[i]["httpBody"][0],
              kDecl + "<FetchFirmware><NotifyServerHost>" + host +
                  "</NotifyServerHost><NotifyServerPort>8080</NotifyServerPort>"
                  "<NotifyServerURL>/ISAPI/System/NotifyFetchFirmware</NotifyServerURL>"
                  "<FetchURL>http://" +
                  host +
                  ":8080/firmware/up%20date%231.epak</FetchURL>"
                  "</FetchFirmware>\n");
  }

  dir.write("web/elsewhere/settings.conf", std::string(1234, 'c'));
  EXPECT_EQ(dispatch(request(
                "deploy", "configure",
                {{"title", "settings.conf"}, {"path", dir.file("web/elsewhere/settings.conf")}})),
            "");
  queued = tasks();
  ASSERT_EQ(queued.size(), 1u);
  const std::string stored = md5Hex("settings.conf") + ".conf";
  EXPECT_EQ(queued[0]["uri"], json({"POST /ISAPI/UploadFile/TemplateConfig?name=" + stored}));
  EXPECT_EQ(queued[0]["httpBody"], json({std::string(1234, 'c')}));
  EXPECT_EQ(queued[0]["filename"], stored);
  EXPECT_EQ(queued[0]["offset"], 0);
  EXPECT_EQ(queued[0]["filesize"], 1234);
}

TEST_F(Deploy, MissingMembersSendNothing) {
  for (const json& message : {
           request("deploy", "brand", {{"x", "1"}}),
           request("deploy", "banner", {{"always", "1"}, {"pir", "1"}}),
           request("deploy", "greeting", {{"pir", "1"}, {"motion", "1"}, {"alarm", "1"}}),
           request("deploy", "firmware", json::object()),
           request("deploy", "firmware", {{"title", "../x.epak"}}),
           request("deploy", "configure", {{"title", "a.conf"}}),
           request("set", "ad", {{"cmd", 1}}),
           request("set", "devName", {{"devName", "x"}}),
           json{{"C", "set"},
                {"T", "ad"},
                {"V", 1},
                {"P", {{"cmd", "1"}, {"user", "a"}, {"ip", {"127.0.1.20:9"}}}}},
       }) {
    EXPECT_EQ(dispatch(message), "") << message.dump();
    EXPECT_TRUE(tasks().empty()) << message.dump();
  }
  EXPECT_EQ(dispatch(request("undeploy", "other", json::object())),
            dumpCompact(request("undeploy", "other", json::object())));
  EXPECT_TRUE(tasks().empty());
}

TEST(XmlBody, PlaceholderAndEncoding) {
  EXPECT_EQ(replaceHostPlaceholder("a$TAVROHOSTIP$b$TAVROHOSTIP$", "10.0.0.1"),
            "a10.0.0.1b10.0.0.1");
  EXPECT_EQ(replaceHostPlaceholder("$TAVROHOSTIP$:80", ""), ":80");
  EXPECT_EQ(percentEncode("a b/ü%.mp4"), "a%20b%2F%C3%BC%25.mp4");
  EXPECT_EQ(percentEncode("5f3a-_.~MP4"), "5f3a-_.~MP4");
}

}  // namespace

namespace {

TEST_F(Deploy, InterfacesAreScannedOncePerDeployAndNeverUnderTheTaskLock) {
  dir.write("web/media/a.mp4", "aaaa");
  ASSERT_TRUE(savePlaylist(dir.path(), "p.json",
                           json::parse(R"([{"url":"a.mp4","id":1,"type":1,"duration":3}])")));
  const json displays = {"127.0.1.20:9", "127.0.1.21:9", "127.0.2.20:9"};
  struct Case {
    const char* command;
    const char* type;
    json payload;
  } cases[] = {
      {"deploy", "playlist", {{"file", "p.json"}, {"ip", displays}}},
      {"deploy", "firmware", {{"title", "u.epak"}, {"ip", displays}}},
  };
  for (const auto& c : cases) {
    int scans = 0;
    bool lockFree = true;
    overrideSystemAddresses([&] {
      ++scans;
      // Asked from another thread: a lock held by this one would not show otherwise.
      lockFree = lockFree && std::async(std::launch::async, [&] {
                               std::unique_lock lock(context->deviceTasksMutex, std::try_to_lock);
                               return lock.owns_lock();
                             }).get();
      return std::vector<SystemAddress>{local("127.0.1.5", 24), local("127.0.2.5", 24)};
    });
    EXPECT_EQ(dispatch(request(c.command, c.type, c.payload)), "") << c.type;
    EXPECT_EQ(scans, 1) << c.type;
    EXPECT_TRUE(lockFree) << c.type;
    EXPECT_EQ(tasks().size(), 3u) << c.type;
  }
}

}  // namespace
