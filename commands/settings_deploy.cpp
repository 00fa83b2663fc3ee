#include "commands/settings_deploy.h"

#include <optional>

#include "app/app_context.h"
#include "base/json_fields.h"
#include "commands/xml_body.h"
#include "deploy/device_tasks.h"
#include "device/percent_encoding.h"
#include "discovery/local_interfaces.h"
#include "media/file_reading.h"
#include "media/names.h"
#include "platform/crypto.h"

using nlohmann::json;

namespace {

// A request to queue: its line, its body and what the device tasks carry besides.
struct Request {
  std::string uri;
  std::string body;
  TaskTemplate shape = {};
  bool perDisplayHost = false;  // the body names the host's address in the display's network
};

void addOptional(XmlBody& body, xmlNode* parent, const json& f, const char* element,
                 const char* key) {
  if (stringField(f, key)) body.add(parent, element, stringOr(f, key));
}

void addFileContent(const AppContext& context, XmlBody& body, xmlNode* parent, const json& f,
                    const char* element) {
  if (stringField(f, "path"))
    body.add(parent, element, context.readPageFile(stringOr(f, "path"), true));
}

void addTriggers(XmlBody& body, xmlNode* parent, const json& f) {
  body.add(parent, "PIRTrigger", stringOr(f, "pir"));
  body.add(parent, "MotionTrigger", stringOr(f, "motion"));
  body.add(parent, "AlarmInTrigger", stringOr(f, "alarm"));
  body.add(parent, "FaceTrigger", stringOr(f, "face"));
}

std::optional<Request> configure(const AppContext& context, const json& f) {
  if (!hasStrings(f, {"title", "path"})) return std::nullopt;
  const std::string stored = md5HexDigest(stringOr(f, "title")) + ".conf";
  std::string content = context.readPageFile(stringOr(f, "path"));
  const size_t size = content.size();
  Request request{"POST /ISAPI/UploadFile/TemplateConfig?name=" + stored, std::move(content)};
  request.shape.fileName = stored;
  request.shape.fileSize = size;
  return request;
}

std::optional<Request> firmware(const AppContext& context, const json& f) {
  if (!hasStrings(f, {"title"}) || !isSafeFileName(stringOr(f, "title"))) return std::nullopt;
  const std::string port = std::to_string(context.notificationPort);
  XmlBody body("FetchFirmware");
  body.add("NotifyServerHost", kHostPlaceholder);
  body.add("NotifyServerPort", port);
  body.add("NotifyServerURL", "/ISAPI/System/NotifyFetchFirmware");
  body.add("FetchURL", "http://" + std::string(kHostPlaceholder) + ":" + port + "/firmware/" +
                           percentEncode(stringOr(f, "title")));
  return Request{"PUT /ISAPI/System/FetchFirmware?ID=", body.serialize(), {}, true};
}

std::optional<Request> brand(const AppContext& context, const json& f) {
  if (!hasStrings(f, {"enable"})) return std::nullopt;
  XmlBody body("Banner");
  xmlNode* custom = body.add(body.root(), "BrandCustom");
  body.add(custom, "Enabled", stringOr(f, "enable"));
  addOptional(body, custom, f, "PosX", "x");
  addOptional(body, custom, f, "PosY", "y");
  addOptional(body, custom, f, "Width", "width");
  addOptional(body, custom, f, "Height", "height");
  addOptional(body, custom, f, "ImageName", "title");
  addFileContent(context, body, custom, f, "ImageContent");
  return Request{"PUT /ISAPI/Gui/Banner/BrandCustom?ID=", body.serialize()};
}

std::optional<Request> banner(const AppContext& context, const json& f) {
  if (!hasStrings(f, {"always", "pir", "motion", "alarm", "face"})) return std::nullopt;
  XmlBody body("Banner");
  xmlNode* message = body.add(body.root(), "DeterrenceMsg");
  body.add(message, "AlwaysOn", stringOr(f, "always"));
  addOptional(body, message, f, "ImageName", "title");
  addFileContent(context, body, message, f, "ImageContent");
  addTriggers(body, message, f);
  return Request{"PUT /ISAPI/Gui/Banner/Deterrence?ID=", body.serialize()};
}

std::optional<Request> greeting(const AppContext& context, const json& f) {
  if (!hasStrings(f, {"pir", "motion", "alarm", "face"})) return std::nullopt;
  XmlBody body("Banner");
  xmlNode* audio = body.add(body.root(), "DeterrenceAudio");
  addOptional(body, audio, f, "AudioName", "title");
  addFileContent(context, body, audio, f, "AudioContent");
  addTriggers(body, audio, f);
  return Request{"PUT /ISAPI/Gui/Banner/Deterrence?ID=", body.serialize()};
}

std::optional<Request> clearList(const AppContext&, const json&) {
  XmlBody body("ClearFileList");
  body.add("Enabled", "1");
  return Request{"PUT /ISAPI/VideoAdvert/ClearFileList?ID=", body.serialize()};
}

std::optional<Request> advertConfig(const json& f, const char* element) {
  if (!hasStrings(f, {"cmd"})) return std::nullopt;
  XmlBody body("VideoAdvertConfig");
  body.add(element, stringOr(f, "cmd"));
  return Request{"PUT /ISAPI/VideoAdvert/VideoAdvertConfig?ID=", body.serialize()};
}

std::optional<Request> advertising(const AppContext&, const json& f) {
  return advertConfig(f, "Enabled");
}

std::optional<Request> dynamicSwitch(const AppContext&, const json& f) {
  return advertConfig(f, "DynamicSwitchFull");
}

// The page's screen on/off: a request of our own, on its own path, so that a display that
// does not know it says so instead of taking it for another setting.
std::optional<Request> screenSwitch(const AppContext&, const json& f) {
  if (!hasStrings(f, {"cmd"})) return std::nullopt;
  XmlBody body("ScreenSwitch");
  body.add("Enabled", stringOr(f, "cmd"));
  return Request{"PUT /ISAPI/VideoAdvert/ScreenSwitch?ID=", body.serialize()};
}

std::optional<Request> deviceInfo(const AppContext&, const json& f) {
  if (!hasStrings(f, {"devName", "devId", "devMode", "devVersion", "info"})) return std::nullopt;
  XmlBody body("DeviceInfo");
  body.add("DeviceName", stringOr(f, "devName"));
  body.add("DeviceID", stringOr(f, "devId"));
  body.add("DeviceModel", stringOr(f, "devMode"));
  body.add("SoftwareVer", stringOr(f, "devVersion"));
  body.add("FactoryInfo", stringOr(f, "info"));
  return Request{"PUT /ISAPI/DeviceInfo?ID=", body.serialize()};
}

struct Operation {
  const char* command;
  const char* type;
  std::optional<Request> (*build)(const AppContext&, const json&);
  const char* failureLog;
};

constexpr Operation kOperations[] = {
    {"deploy", "configure", configure, "configure deploy failed"},
    {"deploy", "firmware", firmware, "firmware deploy failed"},
    {"deploy", "brand", brand, "brand image deploy failed"},
    {"deploy", "banner", banner, "deterrence image/sound deploy failed"},
    {"deploy", "greeting", greeting, "deterrence image/sound deploy failed"},
    {"undeploy", "playlist", clearList, "playlist undeploy failed"},
    {"set", "ad", advertising, "playlist deploy failed"},
    {"set", "adCamSwitch", dynamicSwitch, "playlist deploy failed"},
    {"set", "devName", deviceInfo, "playlist deploy failed"},
    {"set", "screen", screenSwitch, "screen switch failed"},
};

}  // namespace

bool isSettingRequest(const std::string& command, const std::string& type) {
  for (const auto& operation : kOperations) {
    if (command == operation.command && type == operation.type) return true;
  }
  return false;
}

std::string deploySetting(AppContext& context, json& message) {
  const json& payload = message["P"];
  DeviceTarget target;
  if (!readDeviceTarget(payload, target)) return {};
  for (const auto& operation : kOperations) {
    if (message["C"] != operation.command || message["T"] != operation.type) continue;
    auto request = operation.build(context, payload);
    if (!request) return {};
    const auto interfaces =
        request->perDisplayHost ? listLocalInterfaces() : std::vector<LocalInterface>();
    BodiesFor bodiesFor = [&request, &interfaces](const std::string& ip) {
      return std::vector<std::string>{
          request->perDisplayHost
              ? replaceHostPlaceholder(request->body, selectHostAddressFrom(ip, interfaces))
              : request->body};
    };
    const bool firmware = message["T"] == "firmware";
    request->shape.uris = {request->uri};
    request->shape.run =
        context.journal.begin(context, message, "", firmware ? "firmware" : "media",
                              firmware ? std::vector<std::string>{stringOr(payload, "title")}
                                       : std::vector<std::string>());
    startDeviceTasks(context, target, request->shape, bodiesFor, operation.failureLog);
    return {};
  }
  return {};
}
