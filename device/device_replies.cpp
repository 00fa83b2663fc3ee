#include "device/device_replies.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>
#include <optional>

#include "app/app_context.h"
#include "app/diag_log.h"
#include "commands/playlists.h"
#include "device/device_client.h"
#include "device/markup_escape.h"
#include "device/xml_errors.h"
#include "media/file_utils.h"

using nlohmann::json;

namespace {

struct XmlDocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using XmlDoc = std::unique_ptr<xmlDoc, XmlDocFree>;

// Parses untrusted XML: no network, no entity expansion, no output on errors.
XmlDoc parseXml(const std::string& body) {
  if (body.size() > static_cast<size_t>(INT32_MAX)) return nullptr;
  routeXmlErrorsToDiagLog();
  return XmlDoc(xmlReadMemory(body.data(), static_cast<int>(body.size()), nullptr, nullptr,
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
}

std::string nodeName(const xmlNode* node) {
  return reinterpret_cast<const char*>(node->name);
}

// Text of the last child element of `root` called `name`; empty when there is none.
std::string childText(xmlNode* root, const char* name) {
  std::string value;
  for (xmlNode* child = xmlFirstElementChild(root); child; child = xmlNextElementSibling(child)) {
    if (nodeName(child) != name) continue;
    xmlChar* content = xmlNodeGetContent(child);
    value = content ? reinterpret_cast<const char*>(content) : "";
    xmlFree(content);
  }
  return value;
}

struct ResponseStatus {
  std::string requestUrl, statusCode, statusString, sessionId, privilege;
  bool good() const { return (statusCode == "200" || statusCode == "1") && statusString == "OK"; }
};

ResponseStatus readResponseStatus(xmlNode* root) {
  return {childText(root, "RequestURL"), childText(root, "StatusCode"),
          childText(root, "StatusString"), childText(root, "SessionId"),
          childText(root, "Privilege")};
}

std::string text(const json& task, const char* key) {
  auto it = task.find(key);
  return it != task.end() && it->is_string() ? it->get<std::string>() : std::string();
}

long long number(const json& task, const char* key) {
  auto it = task.find(key);
  return it != task.end() && it->is_number_integer() ? it->get<long long>() : 0;
}

const json& arrayMember(const json& task, const char* key) {
  static const json kEmpty = json::array();
  auto it = task.find(key);
  return it != task.end() && it->is_array() ? *it : kEmpty;
}

std::string entry(const json& list, size_t index) {
  return index < list.size() && list[index].is_string() ? list[index].get<std::string>() : "";
}

bool isUpload(const json& task) {
  return entry(arrayMember(task, "uri"), 0).find("/ISAPI/UploadFile") != std::string::npos;
}

// The task of the display at `peer`, found by its host part, with its position in the list.
struct TaskRef {
  json task;
  size_t index = 0;
};

std::optional<TaskRef> findTask(AppContext& context, const std::string& peer) {
  std::string host = deviceHost(peer);
  std::lock_guard lock(context.deviceTasksMutex);
  for (size_t i = 0; i < context.deviceTasks.size(); ++i) {
    const json& task = context.deviceTasks[i];
    if (task.is_object() && deviceHost(text(task, "ip")) == host) return TaskRef{task, i};
  }
  return std::nullopt;
}

// Writes the task back at its position, unless another operation rebuilt the list meanwhile.
void storeTask(AppContext& context, const TaskRef& ref) {
  std::lock_guard lock(context.deviceTasksMutex);
  if (ref.index < context.deviceTasks.size() &&
      text(context.deviceTasks[ref.index], "ip") == text(ref.task, "ip")) {
    context.deviceTasks[ref.index] = ref.task;
  }
}

std::string sendRequest(const TaskRef& ref, size_t index, const std::string& peer) {
  return buildDeviceRequest(entry(arrayMember(ref.task, "uri"), index),
                            entry(arrayMember(ref.task, "httpBody"), index), text(ref.task, "id"),
                            peer);
}

std::string uploadRequest(const json& task, const std::string& peer, bool closing) {
  const std::string prefix = entry(arrayMember(task, "uri"), 0);
  const std::string data = closing ? "" : entry(arrayMember(task, "httpBody"), 0);
  std::string request =
      prefix + "&offset=" + std::to_string(number(task, "offset")) + "&ID=" + text(task, "id") +
      " HTTP/1.1\r\nHost: " + peer +
      "\r\nContent-Type: application/conf\r\nContent-Length: " + std::to_string(data.size()) +
      "\r\n";
  return request + (closing ? "\r\n" : "Connection: keep-alive\r\n\r\n" + data);
}

// What one reply tells the page; "P" stays null when nothing is to be said.
struct Outcome {
  std::string type;
  json payload;
  std::string result = "ERROR";

  void report(std::string kind, std::string status, const std::string& peer) {
    type = std::move(kind);
    payload = {{"status", std::move(status)}, {"ip", peer}};
  }
};

void notInDevicesList(const std::string& peer) {
  diagLog(peer + " is not in devices list.");
}

void onLoginAnswer(AppContext& context, TaskRef& ref, const ResponseStatus& rs,
                   const std::string& peer, Outcome& out) {
  const size_t k = arrayMember(ref.task, "uri").size();
  if (rs.good()) {
    if (k == 0) {
      out.report("login", "OK", peer);
      out.payload["user"] = text(ref.task, "user");
      out.payload["pass"] = text(ref.task, "pass");
      out.payload["sessionid"] = rs.sessionId;
      out.payload["privilege"] = rs.privilege;
    } else if (isUpload(ref.task)) {
      out.result = uploadRequest(ref.task, peer, false);
    } else {
      out.result = sendRequest(ref, 0, peer);
    }
  } else if (rs.statusCode == "401" && rs.statusString == "Unauthenticated") {
    if (text(ref.task, "status") != "401") {
      ref.task["status"] = "401";
      ref.task["id"] = rs.sessionId;
      storeTask(context, ref);
      out.result = buildLoginRequest(ref.task, rs.sessionId);
    } else {
      diagLog("Login failed");
      out.report("login", "ERROR", peer);
    }
  } else {
    diagLog("Unsupported Login Code: " + rs.statusCode);
    out.report("login", "Unsupported Login Code: " + rs.statusCode, peer);
  }
}

void reportBadCode(const std::string& peer, const char* row, const ResponseStatus& rs) {
  diagLog(peer + " said: " + row + rs.statusCode + "\n" + rs.statusString);
}

void onResponseStatus(AppContext& context, TaskRef& ref, const ResponseStatus& rs,
                      const std::string& peer, Outcome& out) {
  const size_t k = arrayMember(ref.task, "uri").size();
  const std::string& url = rs.requestUrl;
  if (url == "/ISAPI/Security/Login") return onLoginAnswer(context, ref, rs, peer, out);
  if (url == "/ISAPI/Gui/UrgentConfig") {
    if (!rs.good()) {
      reportBadCode(peer, "Unsupported UrgentConfig Code: ", rs);
      return out.report("emergency", "Unsupported Emergency Request Code: " + rs.statusCode, peer);
    }
    if (k < 2) return out.report("emergency", "OK", peer);
    out.result = sendRequest(ref, 1, peer);
    return;
  }
  if (url == "/ISAPI/VideoAdvert/RequestUploadList") {
    if (rs.good()) {
      if (k >= 2) out.result = sendRequest(ref, k == 3 ? 2 : 1, peer);
      return;
    }
    if (rs.statusCode == "503") return out.report("adUploadRequest", "NO Enough Space", peer);
    reportBadCode(peer, "Unsupported RequestUploadList Code: ", rs);
    return out.report("adUploadRequest", "Unsupported Ad Upload Request Code: " + rs.statusCode,
                      peer);
  }
  if (url == "/ISAPI/VideoAdvert/FetchListConfig") {
    if (!rs.good()) diagLog(peer + " said: " + url + ": " + rs.statusString);
    return;
  }
  struct Simple {
    const char* url;
    const char* type;
    const char* diagnostic;
  };
  static constexpr Simple kSimple[] = {
      {"/ISAPI/VideoAdvert/VideoAdvertConfig", "adSwitch", "Unsupported VideoAdvertConfig Code: "},
      {"/ISAPI/DeviceInfo", "devName", "Unsupported DeviceInfo Code: "},
      {"/ISAPI/VideoAdvert/ScreenSwitch", "screen", "Unsupported ScreenSwitch Code: "},
      {"/ISAPI/VideoAdvert/ClearFileList", "clear", "Unsupported clear file list Code: "},
      {"/ISAPI/Gui/Banner/BrandCustom", "brand", "Unsupported brand Code: "},
      {"/ISAPI/Gui/Banner/Deterrence", "deterrence", "Unsupported deterrence Code: "},
  };
  for (const auto& row : kSimple) {
    if (url != row.url) continue;
    if (!rs.good()) reportBadCode(peer, row.diagnostic, rs);
    return out.report(row.type, rs.good() ? "OK" : "ERROR", peer);
  }
  diagLog(peer + " said: Unsupported request uri: " + url + "\n" + rs.statusString);
}

// An upload is answered by empty 200s: after the data the closing request goes out once;
// after the closing request the upload is reported once, whatever the package size.
void onUploadStep(AppContext& context, TaskRef& ref, const std::string& peer, Outcome& out) {
  long long step = number(ref.task, "uploadStep");
  if (step == 0) {
    ref.task["offset"] = number(ref.task, "filesize");
    ref.task["uploadStep"] = 1;
    storeTask(context, ref);
    out.result = uploadRequest(ref.task, peer, true);
  } else if (step == 1) {
    ref.task["uploadStep"] = 2;
    storeTask(context, ref);
    out.report("configure", "OK", peer);
    out.result = "";
  }
}

void onFetchResult(AppContext& context, xmlNode* root, const std::string& peer, Outcome& out) {
  auto ref = findTask(context, peer);
  if (!ref) return notInDevicesList(peer);
  bool emergency =
      entry(arrayMember(ref->task, "uri"), 0).find("UrgentConfig") != std::string::npos;
  out.report(emergency ? "emergency" : "playlist", "finish", peer);
  out.payload["total"] = childText(root, "TotalCount");
  out.payload["success"] = childText(root, "SucceedCount");
  out.payload["failed"] = childText(root, "FailedCount");
  out.result = "OK";
}

void onFirmwareResult(xmlNode* root, const std::string& peer, Outcome& out) {
  ResponseStatus rs;
  rs.statusCode = childText(root, "StatusCode");
  rs.statusString = childText(root, "StatusString");
  if (!rs.good()) reportBadCode(peer, "Unsupported firmware upgrade Code: ", rs);
  out.report("firmware", rs.good() ? "OK" : "ERROR", peer);
  out.result = "OK";
}

void onDocument(AppContext& context, const std::string& body, const std::string& peer,
                Outcome& out) {
  XmlDoc doc = parseXml(body);
  if (!doc) {
    diagLog("Failed to parse document:" + body);
    return out.report("parse", "ERROR", peer);
  }
  xmlNode* root = xmlDocGetRootElement(doc.get());
  if (!root) return;
  const std::string rootName = nodeName(root);
  if (rootName == "NotifyFetchResult") return onFetchResult(context, root, peer, out);
  if (rootName == "NotifyFetchFirmware") return onFirmwareResult(root, peer, out);
  if (rootName != "ResponseStatus") return;
  auto ref = findTask(context, peer);
  if (!ref) return notInDevicesList(peer);
  onResponseStatus(context, *ref, readResponseStatus(root), peer, out);
}

}  // namespace

std::string deviceHost(const std::string& address) {
  return address.substr(0, address.find(':'));
}

std::string buildLoginRequest(const json& task, const std::string& sessionId) {
  const std::string user = text(task, "user");
  const std::string digest = md5Hex(sessionId + ":" + user + ":" + text(task, "pass") + ":KOVRA");
  const std::string body = "<UserCheck><Username>" + escapeXml(user) + "</Username><Password>" +
                           digest + "</Password><SessionId>" + escapeXml(text(task, "id")) +
                           "</SessionId></UserCheck>";
  return "POST /ISAPI/Security/Login HTTP/1.1\r\nHost: " + text(task, "ip") +
         "\r\nContent-Type: application/xml\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: keep-alive\r\n\r\n" + body;
}

std::string onDeviceReply(AppContext* context, const std::string& body, const std::string& peer,
                          int status) {
  if (!context) return {};
  Outcome out;
  if (status != 200) {
    out.type = "device";
    if (status == kStatusConnectionError || status == kStatusConnectionClosed) {
      out.report("device", status == kStatusConnectionError ? "mgerror" : "mgclose", peer);
      out.result = "OK";
    } else {
      out.report("device", "Unsupported code: " + std::to_string(status), peer);
    }
  } else if (body.empty()) {
    auto ref = findTask(*context, peer);
    if (!ref) {
      notInDevicesList(peer);
    } else if (isUpload(ref->task)) {
      onUploadStep(*context, *ref, peer, out);
    }
  } else {
    onDocument(*context, body, peer, out);
  }
  if (!out.payload.is_null()) {
    std::string message =
        dumpCompact({{"C", "deploy"}, {"T", out.type}, {"V", 1}, {"P", out.payload}});
    diagLog(message);
    sendToPage(*context, std::move(message));
  }
  return out.result;
}
