#include "commands/inventory.h"

#include <chrono>
#include <initializer_list>

#include "app/app_context.h"
#include "base/json_fields.h"
#include "commands/playlists.h"
#include "media/file_utils.h"
#include "platform/file_dialog.h"
#include "store/store.h"

using nlohmann::json;

namespace {

constexpr int64_t kDefaultHistory = 100;
constexpr int64_t kMostHistory = 10000;
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

std::string getHistory(AppContext& context, json& message) {
  if (!context.store) return noStore(context, message, {"runs"});
  json p = requestPayload(message);
  if (auto id = integerField(p, "id")) {
    json run = context.store->run(*id);
    return reply(message, {{"runs", run.is_null() ? json::array() : json::array({run})}});
  }
  int64_t limit = integerField(p, "limit").value_or(kDefaultHistory);
  if (limit < 1) limit = kDefaultHistory;
  if (limit > kMostHistory) limit = kMostHistory;
  return reply(message,
               {{"runs", context.store->history(static_cast<size_t>(limit), stringOr(p, "ip"),
                                                stringOr(p, "group"))}});
}

std::string exportHistory(AppContext& context, json& message) {
  if (!context.store) return noStore(context, message, {});
  json payload = requestPayload(message);
  int64_t id = integerField(payload, "id").value_or(0);
  std::string suggested =
      id > 0 ? "quillora-run-" + std::to_string(id) + ".csv" : "quillora-history.csv";
  std::string path = context.dialogs ? context.dialogs->chooseSaveFile(suggested) : "";
  if (path.empty()) {
    payload["status"] = "cancel";
    return reply(message, std::move(payload));
  }
  if (!writeFileAtomically(path, context.store->historyCsv(id))) {
    payload["status"] = "ERROR";
    payload["error"] = "could not write " + pageText(path);
    return reply(message, std::move(payload));
  }
  payload["status"] = "OK";
  payload["path"] = pageText(path);
  return reply(message, std::move(payload));
}
