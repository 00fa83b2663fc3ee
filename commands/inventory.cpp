#include "commands/inventory.h"

#include <chrono>
#include <initializer_list>

#include "app/app_context.h"
#include "app/page_bridge.h"
#include "base/json_fields.h"
#include "base/log.h"
#include "commands/playlists.h"
#include "media/atomic_files.h"
#include "media/file_reading.h"
#include "platform/file_dialog.h"
#include "platform/file_system.h"
#include "store/store.h"

using nlohmann::json;

namespace {

constexpr int64_t kDefaultHistory = 100;
// A page of the history stays small; older runs are read page by page ("before").
constexpr int64_t kMostHistory = 1000;
constexpr const char* kNoAddress = "the request names no \"ip\"";

// The request's own "P" (an object) with the members the answer adds.
// The request's payload in place (fields read from it stay valid), or an empty object.
const json& requestPayload(const json& message) {
  static const json kNone = json::object();
  auto p = message.find("P");
  return p != message.end() && p->is_object() ? *p : kNone;
}

std::string reply(json& message, json payload) {
  message["P"] = std::move(payload);
  return dumpCompact(message);
}

std::string noStore(AppContext& context, json& message, std::initializer_list<const char*> lists) {
  json payload = requestPayload(message);
  payload["status"] = "ERROR";
  payload["error"] = context.storeError.empty() ? "The store is switched off." : context.storeError;
  for (const char* list : lists) payload[list] = json::array();
  return reply(message, std::move(payload));
}

std::string withStatus(json& message, const Result<>& done) {
  json payload = requestPayload(message);
  payload["status"] = done ? "OK" : "ERROR";
  if (!done) payload["error"] = done.error();
  return reply(message, std::move(payload));
}

}  // namespace

std::string getInventory(AppContext& context, json& message) {
  if (!context.store) return noStore(context, message, {"displays", "groups"});
  return reply(message,
               {{"displays", context.store->displays()}, {"groups", context.store->groups()}});
}

std::string addInventoryDisplay(AppContext& context, json& message) {
  if (!context.store) return noStore(context, message, {});
  json p = requestPayload(message);
  const std::string* ip = stringField(p, "ip");
  return withStatus(message, ip ? context.store->addDisplay(*ip, nowMs()) : failure(kNoAddress));
}

std::string removeInventoryDisplay(AppContext& context, json& message) {
  if (!context.store) return noStore(context, message, {});
  json p = requestPayload(message);
  const std::string* ip = stringField(p, "ip");
  return withStatus(message, ip ? context.store->removeDisplay(*ip) : failure(kNoAddress));
}

std::string getGroups(AppContext& context, json& message) {
  if (!context.store) return noStore(context, message, {"groups"});
  return reply(message, {{"groups", context.store->groups()}});
}

std::string saveGroupRequest(AppContext& context, json& message) {
  if (!context.store) return noStore(context, message, {});
  json p = requestPayload(message);
  const std::string* name = stringField(p, "name");
  auto ips = p.contains("ip") ? stringArray(p, "ip") : std::vector<std::string>();
  return withStatus(
      message, name && ips ? context.store->saveGroup(*name, *ips, stringOr(p, "oldName"))
                           : failure("a group needs a \"name\" and an \"ip\" list of addresses"));
}

std::string removeGroupRequest(AppContext& context, json& message) {
  if (!context.store) return noStore(context, message, {});
  json p = requestPayload(message);
  const std::string* name = stringField(p, "name");
  return withStatus(
      message, name ? context.store->removeGroup(*name) : failure("the request names no group"));
}

std::string runIdError(const json& payload, std::string_view key, bool required) {
  auto value = payload.find(key);
  if (value == payload.end()) {
    return required ? "the request names no \"" + std::string(key) + "\"" : std::string();
  }
  if (value->is_number_integer() && value->get<int64_t>() > 0) return {};
  return "\"" + std::string(key) + "\" must be a run id (a whole number above 0)";
}

std::string historyRequestError(const json& message) {
  auto p = message.find("P");
  if (p != message.end() && !p->is_object() && !p->is_null()) {
    return "the request's \"P\" must be an object";
  }
  return {};
}

namespace {

std::string refuse(json& message, const std::string& why,
                   std::initializer_list<const char*> lists) {
  json payload = requestPayload(message);
  payload["status"] = "ERROR";
  payload["error"] = why;
  for (const char* list : lists) payload[list] = json::array();
  return reply(message, std::move(payload));
}

// Why the history request's filters cannot be used; empty when they can.
std::string historyFilterError(const json& message) {
  if (std::string why = historyRequestError(message); !why.empty()) return why;
  const json& p = requestPayload(message);
  for (const char* key : {"id", "before", "schedule"}) {
    if (std::string why = runIdError(p, key, false); !why.empty()) return why;
  }
  for (const char* key : {"ip", "group"}) {
    if (p.contains(key) && !p[key].is_string())
      return "\"" + std::string(key) + "\" must be a text";
  }
  if (p.contains("limit") && !p["limit"].is_number_integer()) {
    return "\"limit\" must be a whole number";
  }
  return {};
}

}  // namespace

std::string getHistory(AppContext& context, json& message) {
  if (std::string why = historyFilterError(message); !why.empty()) {
    return refuse(message, why, {"runs"});
  }
  if (!context.store) return noStore(context, message, {"runs"});
  const json& p = requestPayload(message);
  if (auto id = integerField(p, "id")) {
    json run = context.store->run(*id);
    if (run.is_null()) return refuse(message, "unknown run " + std::to_string(*id), {"runs"});
    return reply(message, {{"runs", json::array({run})}});
  }
  int64_t limit = integerField(p, "limit").value_or(kDefaultHistory);
  if (limit < 1) limit = kDefaultHistory;
  if (limit > kMostHistory) limit = kMostHistory;
  const int64_t before = integerField(p, "before").value_or(0);
  json answer = {
      {"runs",
       context.store->history(static_cast<size_t>(limit), stringOr(p, "ip"), stringOr(p, "group"),
                              before, integerField(p, "schedule").value_or(0))},
      {"keep",
       {{"days", context.keep.maxAgeMs / (24 * 3600 * 1000)}, {"runs", context.keep.maxRuns}}}};
  // A page further down the list says which: the page adds it to the runs it shows.
  if (before > 0) answer["before"] = before;
  if (p.contains("schedule")) answer["schedule"] = p["schedule"];
  return reply(message, std::move(answer));
}

std::string exportHistory(AppContext& context, json& message) {
  std::string why = historyRequestError(message);
  if (why.empty()) why = runIdError(requestPayload(message), "id", false);
  if (!why.empty()) return refuse(message, why, {});
  if (!context.store) return noStore(context, message, {});
  json payload = requestPayload(message);
  int64_t id = integerField(payload, "id").value_or(0);
  // Refused before the dialog: no file is made for a run that is not there.
  if (id > 0 && !context.store->hasRun(id)) {
    return refuse(message, "unknown run " + std::to_string(id), {});
  }
  std::string suggested =
      id > 0 ? "quillora-run-" + std::to_string(id) + ".csv" : "quillora-history.csv";
  std::string path = context.dialogs ? context.dialogs->chooseSaveFile(suggested) : "";
  if (path.empty()) {
    payload["status"] = "cancel";
    return reply(message, std::move(payload));
  }
  // Row by row into a temporary beside the file, renamed over it once whole.
  const bool written = replaceFile(path, kTempFilePrefix, [&](const FileWriter& write) {
    return context.store
        ->exportCsv(id, [&](const std::string& piece) { return write(piece.data(), piece.size()); })
        .has_value();
  });
  if (!written) {
    payload["status"] = "ERROR";
    payload["error"] = "could not write " + pageText(path);
    return reply(message, std::move(payload));
  }
  payload["status"] = "OK";
  payload["path"] = pageText(path);
  return reply(message, std::move(payload));
}

json checkMessage(const CheckStatus& status) {
  json payload = json::object();
  switch (status.state) {
    case CheckStatus::State::kNone:
      payload["status"] = "none";
      break;
    case CheckStatus::State::kRunning:
      payload["status"] = "running";
      break;
    case CheckStatus::State::kOk:
      payload = {{"status", "OK"}, {"result", status.result}};
      break;
    case CheckStatus::State::kDamaged:
      payload = {{"status", "ERROR"},
                 {"result", status.result},
                 {"error", "The store is damaged (" + status.result + ")."}};
      break;
  }
  return {{"T", "history"}, {"C", "check"}, {"V", 1}, {"P", std::move(payload)}};
}

void startStoreCheck(AppContext& context) {
  context.store->startCheck([&context](const CheckStatus& status) {
    if (status.state == CheckStatus::State::kDamaged) {
      reportProblem(checkMessage(status)["P"]["error"].get<std::string>());
    }
    sendToPage(context, dumpCompact(checkMessage(status)));
  });
}

std::string checkHistory(AppContext& context, json& message) {
  if (std::string why = historyRequestError(message); !why.empty()) return refuse(message, why, {});
  if (!context.store) return noStore(context, message, {});
  startStoreCheck(context);
  return reply(message, checkMessage(context.store->checkStatus())["P"]);
}
