#include "deploy/device_replies.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>
#include <optional>

#include "app/app_context.h"
#include "base/json_fields.h"
#include "base/log.h"
#include "deploy/fetch_gate.h"
#include "deploy/run_journal.h"
#include "device/device_client.h"
#include "device/http_request.h"
#include "device/http_service.h"
#include "device/markup_escape.h"
#include "device/xml_errors.h"
#include "media/file_reading.h"
#include "platform/crypto.h"

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

const std::string& entry(const std::vector<std::string>& list, size_t index) {
  static const std::string kNone;
  return index < list.size() ? list[index] : kNone;
}

// Held while an event reads or changes a task: the dispatcher fills the list on its thread.
using TaskLock = std::lock_guard<std::mutex>;

std::string sendRequest(const DeviceTask& task, size_t index, const std::string& peer) {
  return buildDeviceRequest(entry(task.uris, index), entry(task.bodies, index), task.sessionId,
                            peer);
}

std::string uploadRequest(const DeviceTask& task, const std::string& peer, bool closing) {
  static const std::string kNoData;
  const std::string& data = closing ? kNoData : entry(task.bodies, 0);
  const std::string line =
      entry(task.uris, 0) + "&offset=" + std::to_string(task.offset) + "&ID=" + task.sessionId;
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

// What one event tells the page; "P" stays null when nothing is to be said.
struct Outcome {
  std::string type;
  json payload;
  std::string result = "ERROR";
  bool journalOnly = false;  // for the run's journal; the page has no message for it
  // The task the event belongs to, read while the tasks are locked.
  int64_t run = 0;
  std::string ip;
  bool awaiting = false;

  void report(std::string kind, std::string status, const std::string& peer) {
    type = std::move(kind);
    payload = {{"status", std::move(status)}, {"ip", peer}};
  }
  void note(const DeviceTask& task) {
    run = task.run;
    ip = task.ip;
    awaiting = !task.awaiting.empty();
  }
};

void onLoginAnswer(DeviceTask& task, const ResponseStatus& rs, const std::string& peer,
                   Outcome& out) {
  if (rs.good()) {
    if (task.uris.empty()) {
      out.report("login", "OK", peer);
      out.payload["user"] = task.user;
      out.payload["pass"] = task.pass;
      out.payload["sessionid"] = rs.sessionId;
      out.payload["privilege"] = rs.privilege;
    } else if (task.isUpload()) {
      task.upload = UploadStep::dataSent;
      out.result = uploadRequest(task, peer, false);
    } else {
      out.result = sendRequest(task, 0, peer);
    }
  } else if (rs.statusCode == "401" && rs.statusString == "Unauthenticated") {
    if (!task.challenged) {
      task.challenged = true;
      task.sessionId = rs.sessionId;
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

// A display reports a fetch on a connection of its own, naming no deploy: only a task whose
// fetch it accepted, and that has not heard of it yet, may take the result. A display works
// on the last fetch it accepted: an earlier task of the same display that still waits will
// hear nothing, and would leave the newer one's result unattributed.
void awaitNotification(AppContext& context, const std::shared_ptr<DeviceTask>& task,
                       const char* root) {
  for (const auto& earlier : context.awaitingTasks) {
    if (earlier->ip != task->ip || earlier->awaiting != root) continue;
    earlier->awaiting.clear();
    freePlace(context, *earlier);
  }
  std::erase_if(context.awaitingTasks,
                [](const auto& waiting) { return waiting->awaiting.empty(); });
  task->awaiting = root;
  context.awaitingTasks.push_back(task);
}

void onResponseStatus(AppContext& context, const std::shared_ptr<DeviceTask>& shared,
                      const ResponseStatus& rs, const std::string& peer, Outcome& out) {
  DeviceTask& task = *shared;
  const size_t k = task.uris.size();
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
    if (rs.good()) return awaitNotification(context, shared, "NotifyFetchResult");
    diagLog(peer + " said: " + url + ": " + rs.statusString);
    out.report("fetchList", rs.statusCode + " " + rs.statusString, peer);
    out.journalOnly = true;
    return;
  }
  if (url == "/ISAPI/System/FetchFirmware") {
    if (rs.good()) return awaitNotification(context, shared, "NotifyFetchFirmware");
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
void onUploadStep(DeviceTask& task, const std::string& peer, Outcome& out) {
  if (task.upload == UploadStep::dataSent) {
    task.offset = task.fileSize;
    task.upload = UploadStep::closingSent;
    out.result = uploadRequest(task, peer, true);
  } else if (task.upload == UploadStep::closingSent) {
    task.upload = UploadStep::reported;
    out.report("configure", "OK", peer);
    out.result = "";
  }
}

void reportFetch(const DeviceTask& task, xmlNode* root, const std::string& rootName,
                 const std::string& peer, Outcome& out) {
  if (rootName == "NotifyFetchFirmware") {
    ResponseStatus rs;
    rs.statusCode = childText(root, "StatusCode");
    rs.statusString = childText(root, "StatusString");
    if (!rs.good()) reportBadCode(peer, "Unsupported firmware upgrade Code: ", rs);
    out.report("firmware", rs.good() ? "OK" : "ERROR", peer);
  } else {
    bool emergency = entry(task.uris, 0).find("UrgentConfig") != std::string::npos;
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

std::string pageMessage(const Outcome& out) {
  std::string message =
      dumpCompact({{"C", "deploy"}, {"T", out.type}, {"V", 1}, {"P", out.payload}});
  diagLog(message);
  return message;
}

// What an outcome tells the page and the journal.
void tell(AppContext& context, Outcome& out, const std::string& peer) {
  if (out.payload.is_null()) return;
  std::string message = out.journalOnly ? std::string() : pageMessage(out);
  context.journal.record(context, out.run, out.ip.empty() ? peer : out.ip, out.type,
                         stringOr(out.payload, "status"), out.payload, out.awaiting,
                         std::move(message));
}

// The displays at `host` that owe the `root` notification (the list is locked).
DeviceTaskList awaitingAt(AppContext& context, const std::string& host, const std::string& root) {
  DeviceTaskList found;
  std::erase_if(context.awaitingTasks, [](const auto& task) { return task->awaiting.empty(); });
  for (const auto& task : context.awaitingTasks) {
    if (deviceHost(task->ip) == host && task->awaiting == root) found.push_back(task);
  }
  return found;
}

// An answer on the task's own connection.
void onAnswer(AppContext& context, const std::shared_ptr<DeviceTask>& task, const std::string& body,
              const std::string& peer, Outcome& out) {
  XmlDoc doc;
  xmlNode* root = nullptr;
  if (!body.empty()) {
    doc = parseXml(body);
    if (!doc) {
      diagLog("Failed to parse document:" + body);
      return out.report("parse", "ERROR", peer);
    }
    root = xmlDocGetRootElement(doc.get());
    if (!root) return;
    const std::string rootName = nodeName(root);
    // A fetch result is posted to the host's server; on this connection it is no answer.
    if (rootName != "ResponseStatus") return;
  }
  TaskLock lock(context.deviceTasksMutex);
  out.note(*task);
  if (!root) {
    if (task->isUpload()) onUploadStep(*task, peer, out);
    return;
  }
  onResponseStatus(context, task, readResponseStatus(root), peer, out);
  out.awaiting = !task->awaiting.empty();
}

// The delays before the two attempts that follow a connection that never opened.
constexpr std::chrono::milliseconds kRetryDelays[] = {std::chrono::seconds(5),
                                                      std::chrono::seconds(20)};

void connectAgain(AppContext& context, const std::shared_ptr<DeviceTask>& task) {
  bool replaced;
  {
    TaskLock lock(context.deviceTasksMutex);
    if (!task->retrying) return;
    task->retrying = false;
    // A newer operation has taken over the display in the meantime. The task may have waited
    // for its wave or window while other operations started: only the display counts.
    replaced =
        std::any_of(context.deviceTasks.begin(), context.deviceTasks.end(),
                    [&task](const auto& other) { return other != task && other->ip == task->ip; });
    if (replaced) freePlace(context, *task);
  }
  if (replaced) return startHeldTasks(context);
  if (connectTasks(context, {task}) != 0) {
    const std::string peer = task->ip;
    onTaskEvent(context, task, {}, peer, kStatusConnectionError);
    onTaskEvent(context, task, {}, peer, kStatusConnectionClosed);
  }
}

// A connection that never opened reached no display: it is tried again, twice, by itself,
// and its end is kept from the page while another attempt is to come.
bool retryLater(AppContext& context, const std::shared_ptr<DeviceTask>& task,
                const std::string& peer, int status, Outcome& out) {
  TaskLock lock(context.deviceTasksMutex);
  out.note(*task);
  if (status == kStatusConnectionClosed) return task->retrying;
  const int attempt = task->retries;
  if (status != kStatusConnectFailed || !context.httpService ||
      attempt >= static_cast<int>(std::size(kRetryDelays))) {
    return false;
  }
  task->retries = attempt + 1;
  task->retrying = true;
  const auto delay = kRetryDelays[attempt];
  context.httpService->runAfter(delay, [&context, task] { connectAgain(context, task); });
  out.report("device", "retry", peer);
  out.payload["attempt"] = attempt + 1;
  out.payload["in"] = delay.count();
  out.journalOnly = true;
  return true;
}

}  // namespace

bool DeviceTask::isUpload() const {
  return entry(uris, 0).find("/ISAPI/UploadFile") != std::string::npos;
}

bool DeviceTask::fetches() const {
  return std::any_of(uris.begin(), uris.end(), [](const std::string& uri) {
    return uri.find("/FetchListConfig") != std::string::npos ||
           uri.find("/FetchFirmware") != std::string::npos;
  });
}

std::string deviceHost(const std::string& address) {
  return address.substr(0, address.find(':'));
}

std::string buildLoginRequest(const DeviceTask& task, const std::string& sessionId) {
  const std::string digest = md5HexDigest(sessionId + ":" + task.user + ":" + task.pass + ":KOVRA");
  const std::string body = "<UserCheck><Username>" + escapeXml(task.user) +
                           "</Username><Password>" + digest + "</Password><SessionId>" +
                           escapeXml(task.sessionId) + "</SessionId></UserCheck>";
  return formatRequest("POST /ISAPI/Security/Login",
                       {{"Host", task.ip},
                        {"Content-Type", "application/xml"},
                        {"Content-Length", std::to_string(body.size())},
                        {"Connection", "keep-alive"}},
                       body);
}

std::string onTaskEvent(AppContext& context, const std::shared_ptr<DeviceTask>& task,
                        const std::string& body, const std::string& peer, int status) {
  Outcome out;
  bool ended = false;
  if (status == kStatusConnectionError || status == kStatusConnectFailed ||
      status == kStatusConnectionClosed) {
    out.result = "OK";
    if (retryLater(context, task, peer, status, out)) {
      if (out.payload.is_null()) return out.result;
    } else {
      out.report("device", status == kStatusConnectionClosed ? "mgclose" : "mgerror", peer);
      ended = true;
    }
  } else if (status != 200) {
    {
      TaskLock lock(context.deviceTasksMutex);
      out.note(*task);
    }
    out.report("device", "Unsupported code: " + std::to_string(status), peer);
  } else {
    onAnswer(context, task, body, peer, out);
  }
  tell(context, out, peer);
  // A display that accepted its fetch list keeps its place until it reports.
  if (ended && !out.awaiting) leavePlace(context, task);
  return out.result;
}

void onNotification(AppContext& context, const std::string& body, const std::string& peer) {
  XmlDoc doc = body.empty() ? nullptr : parseXml(body);
  xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
  const std::string rootName = root ? nodeName(root) : "";
  if (!isNotification(rootName)) {
    diagLog(peer + " posted a notification that reports no fetch:" + body);
    return;
  }
  Outcome out;
  DeviceTaskList owing;
  {
    TaskLock lock(context.deviceTasksMutex);
    owing = awaitingAt(context, deviceHost(peer), rootName);
    if (owing.size() == 1) {
      owing[0]->awaiting.clear();
      out.note(*owing[0]);
      reportFetch(*owing[0], root, rootName, peer, out);
    }
  }
  if (owing.empty()) {
    diagLog(peer + " posted " + rootName + " for no fetch of this run.");
  } else if (owing.size() == 1) {
    tell(context, out, peer);
    leavePlace(context, owing[0]);
  } else {
    // The address does not say which of its displays this is: none is credited.
    out.report("notification", "unattributed", peer);
    out.payload["root"] = rootName;
    std::string message = pageMessage(out);
    for (const auto& task : owing) {
      context.journal.record(context, task->run, task->ip, out.type, "unattributed", out.payload,
                             true, std::exchange(message, {}));
    }
  }
}

int connectTasks(AppContext& context, const DeviceTaskList& tasks) {
  if (!context.httpService) return -1;
  std::vector<DeviceLink> links;
  for (const auto& task : tasks) {
    links.push_back(
        {task->ip, [&context, task](const std::string& body, const std::string& peer, int status) {
           return onTaskEvent(context, task, body, peer, status);
         }});
  }
  context.httpService->setNotificationSink(
      [&context](const std::string& body, const std::string& peer) {
        onNotification(context, body, peer);
      });
  return context.httpService->connectDevices(std::move(links));
}
