#include "device/device_replies.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>
#include <optional>

#include "app/app_context.h"
#include "app/diag_log.h"
#include "app/json_fields.h"
#include "device/device_client.h"
#include "device/http_request.h"
#include "device/http_service.h"
#include "device/markup_escape.h"
#include "device/xml_errors.h"
#include "media/file_utils.h"
#include "store/run_journal.h"

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

const std::string& entry(const json& list, size_t index) {
  static const std::string kNone;
  return index < list.size() && list[index].is_string() ? list[index].get_ref<const std::string&>()
                                                        : kNone;
}

bool isUpload(const json& task) {
  return entry(arrayOrEmpty(task, "uri"), 0).find("/ISAPI/UploadFile") != std::string::npos;
}

// Held while a reply reads or changes the tasks: the task is used in place, so its request
// bodies are never copied for a reply, only the one request written gets built from them.
using TaskLock = std::lock_guard<std::mutex>;

// The first task of the display at `peer`, found by its host part; with `awaiting`, the first
// one that waits for that notification. Null when none fits.
json* findTask(AppContext& context, const std::string& peer,
               const std::string* awaiting = nullptr) {
  const std::string host = deviceHost(peer);
  for (json& task : context.deviceTasks) {
    if (!task.is_object() || deviceHost(stringOr(task, "ip")) != host) continue;
    if (!awaiting || stringOr(task, "awaiting") == *awaiting) return &task;
  }
  return nullptr;
}

std::string sendRequest(const json& task, size_t index, const std::string& peer) {
  return buildDeviceRequest(entry(arrayOrEmpty(task, "uri"), index),
                            entry(arrayOrEmpty(task, "httpBody"), index), stringOr(task, "id"),
                            peer);
}

std::string uploadRequest(const json& task, const std::string& peer, bool closing) {
  static const std::string kNoData;
  const std::string& data = closing ? kNoData : entry(arrayOrEmpty(task, "httpBody"), 0);
  const std::string line = entry(arrayOrEmpty(task, "uri"), 0) +
                           "&offset=" + std::to_string(integerField(task, "offset").value_or(0)) +
                           "&ID=" + stringOr(task, "id");
  const std::string length = std::to_string(data.size());
  // The closing request asks the display to end the connection: no keep-alive.
  if (closing) {
    return formatRequest(
        line, {{"Host", peer}, {"Content-Type", "application/conf"}, {"Content-Length", length}});
  }
  return formatRequest(line,
                       {{"Host", peer},
                        {"Content-Type", "application/conf"},
                        {"Content-Length", length},
                        {"Connection", "keep-alive"}},
                       data);
}

// What one reply tells the page; "P" stays null when nothing is to be said.
struct Outcome {
  std::string type;
  json payload;
  std::string result = "ERROR";
  bool journalOnly = false;  // for the run's journal; the page has no message for it
  // The task the reply belongs to, taken while the tasks are locked.
  int64_t run = 0;
  std::string ip;
  bool awaiting = false;

  void report(std::string kind, std::string status, const std::string& peer) {
    type = std::move(kind);
    payload = {{"status", std::move(status)}, {"ip", peer}};
  }
  void note(const json& task) {
    run = integerField(task, "run").value_or(0);
    ip = stringOr(task, "ip");
    awaiting = task.contains("awaiting");
  }
};

void notInDevicesList(const std::string& peer) {
  diagLog(peer + " is not in devices list.");
}

// Where an upload stands: only the display's answer to the request just sent moves it on.
enum UploadStep : long long { kUploadIdle = 0, kDataSent, kClosingSent, kUploadReported };

void onLoginAnswer(json& task, const ResponseStatus& rs, const std::string& peer, Outcome& out) {
  const size_t k = arrayOrEmpty(task, "uri").size();
  if (rs.good()) {
    if (k == 0) {
      out.report("login", "OK", peer);
      out.payload["user"] = stringOr(task, "user");
      out.payload["pass"] = stringOr(task, "pass");
      out.payload["sessionid"] = rs.sessionId;
      out.payload["privilege"] = rs.privilege;
    } else if (isUpload(task)) {
      task["uploadStep"] = kDataSent;
      out.result = uploadRequest(task, peer, false);
    } else {
      out.result = sendRequest(task, 0, peer);
    }
  } else if (rs.statusCode == "401" && rs.statusString == "Unauthenticated") {
    if (stringOr(task, "status") != "401") {
      task["status"] = "401";
      task["id"] = rs.sessionId;
      out.result = buildLoginRequest(task, rs.sessionId);
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

// A display reports a fetch on a connection of its own, naming no deploy: only the task whose
// fetch it accepted, and that has not heard of it yet, may take the result.
void awaitNotification(json& task, const char* root) {
  task["awaiting"] = root;
}

void onResponseStatus(json& task, const ResponseStatus& rs, const std::string& peer, Outcome& out) {
  const size_t k = arrayOrEmpty(task, "uri").size();
  const std::string& url = rs.requestUrl;
  if (url == "/ISAPI/Security/Login") return onLoginAnswer(task, rs, peer, out);
  if (url == "/ISAPI/Gui/UrgentConfig") {
    if (!rs.good()) {
      reportBadCode(peer, "Unsupported UrgentConfig Code: ", rs);
      return out.report("emergency", "Unsupported Emergency Request Code: " + rs.statusCode, peer);
    }
    if (k < 2) return out.report("emergency", "OK", peer);
    out.result = sendRequest(task, 1, peer);
    return;
  }
  if (url == "/ISAPI/VideoAdvert/RequestUploadList") {
    if (rs.good()) {
      if (k >= 2) out.result = sendRequest(task, k == 3 ? 2 : 1, peer);
      return;
    }
    if (rs.statusCode == "503") return out.report("adUploadRequest", "NO Enough Space", peer);
    reportBadCode(peer, "Unsupported RequestUploadList Code: ", rs);
    return out.report("adUploadRequest", "Unsupported Ad Upload Request Code: " + rs.statusCode,
                      peer);
  }
  if (url == "/ISAPI/VideoAdvert/FetchListConfig") {
    if (rs.good()) return awaitNotification(task, "NotifyFetchResult");
    diagLog(peer + " said: " + url + ": " + rs.statusString);
    out.report("fetchList", rs.statusCode + " " + rs.statusString, peer);
    out.journalOnly = true;
    return;
  }
  if (url == "/ISAPI/System/FetchFirmware") {
    if (rs.good()) return awaitNotification(task, "NotifyFetchFirmware");
    reportBadCode(peer, "Unsupported FetchFirmware Code: ", rs);
    return out.report("firmware", "ERROR", peer);
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
void onUploadStep(json& task, const std::string& peer, Outcome& out) {
  const long long step = integerField(task, "uploadStep").value_or(0);
  if (step == kDataSent) {
    task["offset"] = integerField(task, "filesize").value_or(0);
    task["uploadStep"] = kClosingSent;
    out.result = uploadRequest(task, peer, true);
  } else if (step == kClosingSent) {
    task["uploadStep"] = kUploadReported;
    out.report("configure", "OK", peer);
    out.result = "";
  }
}

void onFetchResult(AppContext& context, xmlNode* root, const std::string& rootName,
                   const std::string& peer, Outcome& out) {
  TaskLock lock(context.deviceTasksMutex);
  json* task = findTask(context, peer, &rootName);
  if (!task) {
    diagLog(peer + " posted " + rootName + " for no fetch of this run.");
    return;
  }
  task->erase("awaiting");
  out.note(*task);
  if (rootName == "NotifyFetchFirmware") {
    ResponseStatus rs;
    rs.statusCode = childText(root, "StatusCode");
    rs.statusString = childText(root, "StatusString");
    if (!rs.good()) reportBadCode(peer, "Unsupported firmware upgrade Code: ", rs);
    out.report("firmware", rs.good() ? "OK" : "ERROR", peer);
  } else {
    bool emergency = entry(arrayOrEmpty(*task, "uri"), 0).find("UrgentConfig") != std::string::npos;
    out.report(emergency ? "emergency" : "playlist", "finish", peer);
    out.payload["total"] = childText(root, "TotalCount");
    out.payload["success"] = childText(root, "SucceedCount");
    out.payload["failed"] = childText(root, "FailedCount");
  }
  out.result = "OK";
}

bool isNotification(const std::string& rootName) {
  return rootName == "NotifyFetchResult" || rootName == "NotifyFetchFirmware";
}

// A request a display posted to a notification path: it can only report a fetch.
void onNotification(AppContext& context, const std::string& body, const std::string& peer,
                    Outcome& out) {
  out.result = "OK";
  XmlDoc doc = body.empty() ? nullptr : parseXml(body);
  xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
  const std::string rootName = root ? nodeName(root) : "";
  if (!isNotification(rootName)) {
    diagLog(peer + " posted a notification that reports no fetch:" + body);
    return;
  }
  onFetchResult(context, root, rootName, peer, out);
}

// An answer on the display's own connection.
void onAnswer(AppContext& context, const std::string& body, const std::string& peer, Outcome& out) {
  XmlDoc doc;
  std::string rootName;
  xmlNode* root = nullptr;
  if (!body.empty()) {
    doc = parseXml(body);
    if (!doc) {
      diagLog("Failed to parse document:" + body);
      return out.report("parse", "ERROR", peer);
    }
    root = xmlDocGetRootElement(doc.get());
    if (!root) return;
    rootName = nodeName(root);
    if (isNotification(rootName)) return onFetchResult(context, root, rootName, peer, out);
    if (rootName != "ResponseStatus") return;
  }
  TaskLock lock(context.deviceTasksMutex);
  json* task = findTask(context, peer);
  if (!task) return notInDevicesList(peer);
  out.note(*task);
  if (!root) {
    if (isUpload(*task)) onUploadStep(*task, peer, out);
    return;
  }
  onResponseStatus(*task, readResponseStatus(root), peer, out);
  out.awaiting = task->contains("awaiting");
}

// The delays before the two attempts that follow a connection that never opened.
constexpr std::chrono::milliseconds kRetryDelays[] = {std::chrono::seconds(5),
                                                      std::chrono::seconds(20)};

void connectAgain(AppContext& context, const std::string& peer, const std::string& ip,
                  int64_t run) {
  {
    TaskLock lock(context.deviceTasksMutex);
    json* task = findTask(context, peer);
    // A newer deploy has taken the display's place in the meantime.
    if (!task || stringOr(*task, "ip") != ip || integerField(*task, "run").value_or(0) != run ||
        !task->contains("retrying")) {
      return;
    }
    task->erase("retrying");
  }
  if (context.httpService->connectDevices(&context, onDeviceReply, {ip}) != 0) {
    onDeviceReply(&context, {}, peer, kStatusConnectionError);
    onDeviceReply(&context, {}, peer, kStatusConnectionClosed);
  }
}

// A connection that never opened reached no display: it is tried again, twice, by itself,
// and its end is kept from the page while another attempt is to come.
bool retryLater(AppContext& context, const std::string& peer, int status, Outcome& out) {
  TaskLock lock(context.deviceTasksMutex);
  json* task = findTask(context, peer);
  if (!task) return false;
  out.note(*task);
  if (status == kStatusConnectionClosed) return task->contains("retrying");
  const long long attempt = integerField(*task, "retries").value_or(0);
  if (status != kStatusConnectFailed || !context.httpService ||
      attempt >= static_cast<long long>(std::size(kRetryDelays))) {
    return false;
  }
  (*task)["retries"] = attempt + 1;
  (*task)["retrying"] = true;
  const auto delay = kRetryDelays[attempt];
  context.httpService->runAfter(delay, [&context, peer, ip = out.ip, run = out.run] {
    connectAgain(context, peer, ip, run);
  });
  out.report("device", "retry", peer);
  out.payload["attempt"] = attempt + 1;
  out.payload["in"] = delay.count();
  out.journalOnly = true;
  return true;
}

}  // namespace

std::string deviceHost(const std::string& address) {
  return address.substr(0, address.find(':'));
}

std::string buildLoginRequest(const json& task, const std::string& sessionId) {
  const std::string user = stringOr(task, "user");
  const std::string digest =
      md5Hex(sessionId + ":" + user + ":" + stringOr(task, "pass") + ":KOVRA");
  const std::string body = "<UserCheck><Username>" + escapeXml(user) + "</Username><Password>" +
                           digest + "</Password><SessionId>" + escapeXml(stringOr(task, "id")) +
                           "</SessionId></UserCheck>";
  return formatRequest("POST /ISAPI/Security/Login",
                       {{"Host", stringOr(task, "ip")},
                        {"Content-Type", "application/xml"},
                        {"Content-Length", std::to_string(body.size())},
                        {"Connection", "keep-alive"}},
                       body);
}

std::string onDeviceReply(AppContext* context, const std::string& body, const std::string& peer,
                          int status) {
  if (!context) return {};
  Outcome out;
  if (status == kStatusConnectionError || status == kStatusConnectFailed ||
      status == kStatusConnectionClosed) {
    out.result = "OK";
    if (retryLater(*context, peer, status, out)) {
      if (out.payload.is_null()) return out.result;
    } else {
      out.report("device", status == kStatusConnectionClosed ? "mgclose" : "mgerror", peer);
    }
  } else if (status == kStatusNotification) {
    onNotification(*context, body, peer, out);
  } else if (status != 200) {
    out.report("device", "Unsupported code: " + std::to_string(status), peer);
  } else {
    onAnswer(*context, body, peer, out);
  }
  if (!out.payload.is_null()) {
    std::string message;
    if (!out.journalOnly) {
      message = dumpCompact({{"C", "deploy"}, {"T", out.type}, {"V", 1}, {"P", out.payload}});
      diagLog(message);
    }
    context->journal.record(*context, out.run, out.ip.empty() ? peer : out.ip, out.type,
                            stringOr(out.payload, "status"), out.payload, out.awaiting,
                            std::move(message));
  }
  return out.result;
}
