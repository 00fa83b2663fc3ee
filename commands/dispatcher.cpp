#include "commands/dispatcher.h"

#include <array>
#include <nlohmann/json.hpp>
#include <string_view>

#include "app/app_context.h"
#include "base/json_fields.h"
#include "base/log.h"
#include "commands/discovery_replies.h"
#include "commands/host_settings.h"
#include "commands/inventory.h"
#include "commands/media_intake.h"
#include "commands/playlist_deploy.h"
#include "commands/playlists.h"
#include "commands/schedules.h"
#include "commands/settings_deploy.h"
#include "deploy/device_tasks.h"
#include "deploy/download_window.h"
#include "discovery/discovery_listener.h"
#include "store/store.h"

using nlohmann::json;

namespace {

using Operation = std::string (*)(AppContext&, json&);

std::string echo(const json& message) {
  return dumpCompact(message);
}

std::string echoWith(json& message, json payload) {
  message["P"] = std::move(payload);
  return dumpCompact(message);
}

const json* payload(const json& message) {
  auto it = message.find("P");
  return it == message.end() ? nullptr : &*it;
}

std::string listPlaylistFiles(AppContext& context, json& message) {
  return echoWith(message, listPlaylists(context.exeFolder));
}

std::string openPlaylist(AppContext& context, json& message) {
  const json* name = payload(message);
  if (!name || !name->is_string()) return {};
  auto content = readPlaylistFile(context.exeFolder, *name);
  if (!content) {
    diagLog("Read file failed: " + context.confFolder() + "/" + name->get<std::string>());
    return {};
  }
  return echoWith(message, std::move(*content));
}

std::string savePlaylistFile(AppContext& context, json& message) {
  const json* p = payload(message);
  const std::string* name = p ? stringField(*p, "name") : nullptr;
  if (!name) return {};
  auto items = p->find("playlist");
  if (items == p->end() || !items->is_array()) return {};
  for (const auto& item : *items) {
    if (!item.is_object()) return {};
  }
  std::string saved = *name;
  if (!isPlaylistName(saved)) {
    return echoWith(message, {{"name", saved},
                              {"status", "ERROR"},
                              {"error",
                               "not a playlist name: blank, or with a control character, "
                               "'/' or '\\', or reserved"}});
  }
  bool ok = savePlaylist(context.exeFolder, saved, *items);
  json answer = {{"name", saved}, {"status", ok ? "OK" : "ERROR"}};
  if (!ok) answer["error"] = "could not write " + pageText(context.confFolder() + "/" + saved);
  return echoWith(message, std::move(answer));
}

std::string removePlaylistFile(AppContext& context, json& message) {
  const json* name = payload(message);
  if (!name || !name->is_string()) return {};
  std::string removed = *name;
  bool ok = removePlaylist(context.exeFolder, removed);
  return echoWith(message, {{"name", removed}, {"status", ok ? "OK" : "ERROR"}});
}

std::string loginOnly(AppContext& context, json& message) {
  DeviceTarget target;
  if (!readDeviceTarget(message["P"], target)) return {};
  TaskTemplate shape;
  shape.run = context.journal.begin(context, message, "", "media", {});
  startDeviceTasks(context, target, shape, nullptr, "mgService login failed");
  return {};
}

// Only web addresses leave the program: the page cannot make the host open files or run
// other URL handlers.
std::string openDeviceWeb(AppContext& context, json& message) {
  const std::string* url = stringField(message["P"], "url");
  if (!url) return {};
  bool web = url->rfind("http://", 0) == 0 || url->rfind("https://", 0) == 0;
  if (web && context.openUrl) context.openUrl(*url);
  return {};
}

std::string searchDevices(AppContext& context, json&) {
  if (context.discovery) {
    context.discovery->search(
        [&context](std::string reply) { onDiscoveryReply(context, std::move(reply)); });
  }
  return {};
}

std::string storeProblem(const AppContext& context) {
  return context.storeError.empty() ? "The store is switched off." : context.storeError;
}

// A display operation may name a group instead of its addresses. Empty when the message can
// go on, else the reply that refuses it.
std::string resolveGroup(AppContext& context, json& message) {
  json* p = message.contains("P") ? &message["P"] : nullptr;
  const std::string* group = p ? stringField(*p, "group") : nullptr;
  if (!group || p->contains("ip")) return {};
  json refusal = {
      {"T", "group"}, {"C", "error"}, {"V", 1}, {"P", {{"status", "nogroup"}, {"name", *group}}}};
  auto members = context.store ? context.store->groupMembers(*group) : std::nullopt;
  if (!members) {
    refusal["P"]["error"] = context.store ? "unknown group " + *group : storeProblem(context);
    return dumpCompact(refusal);
  }
  (*p)["ip"] = *members;
  return {};
}

// A display operation's "window" is checked before anything else is done for it. Empty when
// there is none or it is sound, else the reply that refuses the operation.
std::string checkWindow(const json& message) {
  const json* p = payload(message);
  if (!p || !p->is_object() || !p->contains("window")) return {};
  const auto window = readDownloadWindow((*p)["window"]);
  if (window) return {};
  return dumpCompact({{"T", "window"},
                      {"C", "error"},
                      {"V", 1},
                      {"P", {{"status", "badwindow"}, {"error", window.error()}}}});
}

// Sends a run's requests again, as a new run, to its displays that did not end well.
std::string retryRun(AppContext& context, json& message) {
  std::string why = historyRequestError(message);
  const json& p = message.contains("P") && message["P"].is_object() ? message["P"] : json::object();
  if (why.empty()) why = runIdError(p, "id", true);
  for (const char* key : {"user", "pass"}) {
    if (why.empty() && !stringField(p, key))
      why = std::string("the request needs \"") + key + "\" as a text";
  }
  if (!why.empty()) {
    // Only the id goes back: the credentials are never repeated.
    json refusal = {{"status", "ERROR"}, {"error", why}};
    if (p.contains("id")) refusal["id"] = p["id"];
    return echoWith(message, std::move(refusal));
  }
  const auto id = integerField(p, "id");
  const std::string* user = stringField(p, "user");
  const std::string* pass = stringField(p, "pass");
  json reply = {{"id", *id}, {"status", "ERROR"}};
  json run = context.store ? context.store->run(*id) : json();
  json request = run.is_object() ? run.value("request", json()) : json();
  std::vector<std::string> ips;
  for (const auto& display : arrayOrEmpty(run, "displays")) {
    if (worthRetrying(stringOr(display, "state"))) ips.push_back(stringOr(display, "ip"));
  }
  if (!context.store) {
    reply["error"] = storeProblem(context);
  } else if (!request.is_object() || !request.contains("P") || !request["P"].is_object()) {
    reply["error"] = "unknown run " + std::to_string(*id);
  } else if (context.journal.isGoing(*id)) {
    // Its pending displays may still be at work: they would get a second deploy on top.
    reply["error"] = "run " + std::to_string(*id) + " is still going; retry it once it has ended";
  } else if (ips.empty()) {
    reply["error"] = "nothing to retry";
  } else {
    request["P"].update({{"user", *user}, {"pass", *pass}, {"ip", ips}, {"retryOf", *id}});
    const std::string answer = dispatchPageMessage(context, dumpCompact(request));
    if (!answer.empty()) sendToPage(context, answer);
    reply.update({{"status", "OK"}, {"ip", ips}, {"run", context.journal.lastRun()}});
  }
  return echoWith(message, std::move(reply));
}

struct Route {
  std::string_view command;
  std::string_view type;
  Operation operation;
};

const std::array kRoutes = {
    Route{"open", "playlist", openPlaylist},
    Route{"open", "deviceweb", openDeviceWeb},
    Route{"remove", "media", removeMedia},
    Route{"search", "device", searchDevices},
    Route{"deploy", "login", loginOnly},
    Route{"deploy", "playlist", deployPlaylist},
    Route{"deploy", "emergency", deployPlaylist},
    Route{"save", "playlist", savePlaylistFile},
    Route{"remove", "playlist", removePlaylistFile},
    Route{"retry", "history", retryRun},
    Route{"get", "inventory", getInventory},
    Route{"add", "inventory", addInventoryDisplay},
    Route{"remove", "inventory", removeInventoryDisplay},
    Route{"get", "group", getGroups},
    Route{"save", "group", saveGroupRequest},
    Route{"remove", "group", removeGroupRequest},
    Route{"get", "history", getHistory},
    Route{"export", "history", exportHistory},
    Route{"check", "history", checkHistory},
    Route{"get", "settings", getHostSettings},
    Route{"save", "settings", saveHostSettings},
    Route{"get", "schedule", getSchedules},
    Route{"save", "schedule", saveScheduleRequest},
    Route{"remove", "schedule", removeScheduleRequest},
    Route{"pause", "schedule", pauseScheduleRequest},
};

}  // namespace

std::string dispatchPageMessage(AppContext& context, const std::string& text) {
  diagLog(text);
  json message = json::parse(text, nullptr, false);
  if (message.is_discarded() || !message.is_object()) return {};
  const std::string* command = stringField(message, "C");
  const std::string* type = stringField(message, "T");
  if (!command || !type) return {};

  if (*command == "deploy" || *command == "undeploy" || *command == "set") {
    if (std::string refusal = checkWindow(message); !refusal.empty()) return refusal;
    if (std::string refusal = resolveGroup(context, message); !refusal.empty()) return refusal;
  }
  // Before the catch-alls below: every other "get" is echoed and every other "add" adds files.
  for (const auto& route : kRoutes) {
    if (route.command == *command && route.type == *type) {
      return route.operation(context, message);
    }
  }
  if (*command == "get") {
    if (type->compare(0, 13, "playlistFiles") == 0) return listPlaylistFiles(context, message);
    return echo(message);
  }
  if (*command == "add") return addFiles(context, message);
  if (isSettingRequest(*command, *type)) return deploySetting(context, message);
  // Unknown requests are echoed, except under "set", which never answers.
  if (*command == "set") return {};
  return echo(message);
}
