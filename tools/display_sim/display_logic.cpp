#include "display_logic.h"

#include <array>
#include <charconv>

#include "digest.h"
#include "target.h"
#include "xml_text.h"

namespace dsim {
namespace {

enum class Action { Ok, UploadList, FetchList, FetchFirmware, Upload };

struct Route {
  const char* path;
  const char* method;
  const char* root;  // expected root element of the body; nullptr: no XML body
  Action action;
};

// Every request path of the host, except the login.
constexpr std::array<Route, 11> kRoutes = {{
    {"/ISAPI/Gui/UrgentConfig", "PUT", "UrgentConfig", Action::Ok},
    {"/ISAPI/VideoAdvert/RequestUploadList", "PUT", "RequestUploadList", Action::UploadList},
    {"/ISAPI/VideoAdvert/FetchListConfig", "PUT", "FetchListConfig", Action::FetchList},
    {"/ISAPI/System/FetchFirmware", "PUT", "FetchFirmware", Action::FetchFirmware},
    {"/ISAPI/Gui/Banner/BrandCustom", "PUT", "Banner", Action::Ok},
    {"/ISAPI/Gui/Banner/Deterrence", "PUT", "Banner", Action::Ok},
    {"/ISAPI/VideoAdvert/ClearFileList", "PUT", "ClearFileList", Action::Ok},
    {"/ISAPI/VideoAdvert/VideoAdvertConfig", "PUT", "VideoAdvertConfig", Action::Ok},
    {"/ISAPI/DeviceInfo", "PUT", "DeviceInfo", Action::Ok},
    {"/ISAPI/VideoAdvert/ScreenSwitch", "PUT", "ScreenSwitch", Action::Ok},
    {kUploadPath, "POST", nullptr, Action::Upload},
}};

const Route* findRoute(const std::string& path) {
  for (const Route& route : kRoutes) {
    if (path == route.path) return &route;
  }
  return nullptr;
}

bool isDecimal(const std::string& text) {
  uint64_t value = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && ec == std::errc() && ptr == text.data() + text.size();
}

Decision login(const Request& request, SessionStore& sessions, const LogicConfig& config) {
  const std::string path = kLoginPath;
  if (request.method != "POST") return {statusReply(path, "405", "Method Not Allowed"), {}};
  if (!isEmptyBody(request.body)) {
    const auto check = parseUserCheck(request.body);
    const bool accepted = check && !config.wrongCredentials && check->username == config.user &&
                          sessions.isChallenge(check->sessionId) &&
                          digestMatches(check->password, loginDigest(check->sessionId, config.user,
                                                                     config.password)) &&
                          sessions.authenticate(check->sessionId);
    if (accepted) {
      Reply reply = statusReply(path, "200", "OK");
      reply.body = responseStatusXml(path, "200", "OK",
                                     {{"SessionId", check->sessionId}, {"Privilege", "admin"}});
      return {reply, {}};
    }
  }
  // The challenge, and the refusal of a wrong login, both carry a fresh session id.
  Reply reply = statusReply(path, "401", "Unauthenticated");
  reply.body =
      responseStatusXml(path, "401", "Unauthenticated", {{"SessionId", sessions.issueChallenge()}});
  return {reply, {}};
}

Decision routed(const Route& route, const std::string& path, const std::string& query,
                const Request& request, const LogicConfig& config) {
  if (route.action == Action::Upload) {
    const auto name = queryValue(query, "name");
    const auto offset = queryValue(query, "offset");
    if (!name || name->empty() || !offset || !isDecimal(*offset))
      return {statusReply(path, "400", "Invalid Content"), {}};
    return {Reply{200, "", "", ""}, {}};  // the upload steps are answered with an empty 200
  }
  if (xmlRootName(request.body).value_or("") != route.root)
    return {statusReply(path, "400", "Invalid XML Content"), {}};
  switch (route.action) {
    case Action::UploadList: {
      const auto total = parseTotalFileSize(request.body);
      if (!total) return {statusReply(path, "400", "Invalid XML Content"), {}};
      if (*total > config.freeSpace) return {statusReply(path, "503", "No Enough Space"), {}};
      break;
    }
    case Action::FetchList:
      return {statusReply(path, "200", "OK"), parseFetchOrder(request.body, FetchKind::MediaList)};
    case Action::FetchFirmware:
      return {statusReply(path, "200", "OK"), parseFetchOrder(request.body, FetchKind::Firmware)};
    default:
      break;
  }
  return {statusReply(path, "200", "OK"), {}};
}

}  // namespace

bool isEmptyBody(const std::string& body) {
  return body.find_first_not_of(" \t\r\n") == std::string::npos;
}

Reply statusReply(const std::string& path, const std::string& code, const std::string& text) {
  return Reply{200, "application/xml", responseStatusXml(path, code, text), code};
}

Decision decideReply(const Request& request, SessionStore& sessions, const LogicConfig& config) {
  const SplitTarget target = splitTarget(request.target);
  if (target.path == kLoginPath) return login(request, sessions, config);
  if (target.path.rfind("/ISAPI/", 0) != 0)
    return {Reply{404, "text/plain", "Not Found\n", ""}, {}};
  const Route* route = findRoute(target.path);
  if (route == nullptr) return {statusReply(target.path, "404", "Invalid URL"), {}};
  const auto id = queryValue(target.query, "ID");
  if (!id || !sessions.isAuthenticated(*id))
    return {statusReply(target.path, "401", "Unauthenticated"), {}};
  if (request.method != route->method)
    return {statusReply(target.path, "405", "Method Not Allowed"), {}};
  return routed(*route, target.path, target.query, request, config);
}

}  // namespace dsim
