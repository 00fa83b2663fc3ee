#include "commands/schedules.h"

#include <algorithm>
#include <chrono>

#include "app/app_context.h"
#include "base/clock.h"
#include "base/json_fields.h"
#include "commands/dispatcher.h"
#include "commands/playlists.h"
#include "commands/settings_deploy.h"
#include "deploy/schedule_time.h"
#include "device/http_service.h"
#include "media/names.h"
#include "platform/secret_store.h"

using nlohmann::json;

namespace {

// A firing this late after a time no instance ran is not made up: the moment has passed.
constexpr int64_t kMakeUpLimitMs = 3600 * 1000;
// Missed firings journalled one by one after a long stop; older ones are passed over.
constexpr int kMostMissed = 50;
// The timer looks again at least this often, so that a clock that is set is followed.
constexpr auto kLongestSleep = std::chrono::seconds(60);

std::string answer(json& message, json payload) {
  message["P"] = std::move(payload);
  return dumpCompact(message);
}

std::string refuse(json& message, const std::string& why) {
  return answer(message, {{"status", "ERROR"}, {"error", why}});
}

const json& payloadOf(const json& message) {
  static const json kNone = json::object();
  const auto p = message.find("P");
  return p != message.end() && p->is_object() ? *p : kNone;
}

Result<Login> lookupLogin(const AppContext& context, const std::string& name) {
  std::string why;
  if (!context.credentialsFile.empty()) {
    const Result<std::string> text = readPrivateFile(context.credentialsFile);
    const json logins = text ? json::parse(*text, nullptr, false) : json();
    const json* entry = logins.is_object() && logins.contains(name) ? &logins[name] : nullptr;
    if (entry && hasStrings(*entry, {"user", "pass"}))
      return Login{(*entry)["user"], (*entry)["pass"]};
    why = !text ? text.error() : "the credentials file holds no login \"" + name + "\"";
  }
  Result<Login> kept = findLogin(name);
  if (kept || why.empty()) return kept;
  return failure(why + "; " + kept.error());
}

// The schedule as the page sees it: its body, its next firing and its last run.
json scheduleView(AppContext& context, json schedule, int64_t nowMs) {
  const auto when = readWhen(schedule.value("when", json()));
  const int64_t handled = schedule.value("handled", int64_t{0});
  const auto next = when ? nextFiring(*when, std::max(handled, nowMs)) : std::nullopt;
  schedule["next"] = next && !schedule.value("paused", false) ? localText(*next) : "";
  const json runs = context.store->history(1, "", "", 0, schedule.value("id", int64_t{0}));
  schedule["lastRun"] = runs.empty() ? json(0) : runs[0]["id"];
  schedule.erase("handled");
  return schedule;
}

Result<json> readOperation(AppContext& context, const json& p) {
  const auto operation = p.find("operation");
  if (operation == p.end() || !operation->is_object() || !hasStrings(*operation, {"C", "T"}))
    return failure(
        "\"operation\" must be a display operation: {\"C\": ..., \"T\": ..., \"P\": {...}}");
  const std::string command = (*operation)["C"], type = (*operation)["T"];
  json body = operation->value("P", json::object());
  if (!body.is_object()) return failure("the operation's \"P\" must be an object");
  const bool playlist = command == "deploy" && (type == "playlist" || type == "emergency");
  if (!playlist && !isSettingRequest(command, type))
    return failure("\"" + command + " " + type +
                   "\" is not a display operation a schedule can run");
  for (const char* key : {"user", "pass", "ip", "group", "schedule"}) body.erase(key);
  if (playlist && body.contains("file")) {
    const std::string* file = stringField(body, "file");
    if (!file || !readPlaylistFile(context.exeFolder, *file))
      return failure("there is no playlist " + (file ? *file : std::string("(not a name)")));
  }
  return json{{"C", command}, {"T", type}, {"P", std::move(body)}};
}

Result<json> readTargets(AppContext& context, const json& p) {
  const auto targets = p.find("targets");
  if (targets != p.end() && targets->is_object()) {
    if (const std::string* group = stringField(*targets, "group")) {
      if (!context.store->groupMembers(*group)) return failure("unknown group " + *group);
      return json{{"group", *group}};
    }
    if (auto ips = stringArray(*targets, "ip"); ips && !ips->empty()) return json{{"ip", *ips}};
  }
  return failure("\"targets\" must name a \"group\" or a non-empty \"ip\" list");
}

// A firing that sent nothing, as a run of its own: each display "failed" (or "missed") with why.
void journalUnsent(AppContext& context, json request, const std::string& status,
                   const std::string& why, int64_t at) {
  json& p = request["P"];
  if (const std::string* group = stringField(p, "group")) {
    p["ip"] = context.store->groupMembers(*group).value_or(std::vector<std::string>());
  }
  const int64_t run = context.journal.begin(context, request, stringOr(p, "file"), "media", {});
  for (const auto& ip : arrayOrEmpty(p, "ip")) {
    if (ip.is_string())
      context.journal.record(context, run, ip, "schedule", status, {{"error", why}}, false, {});
  }
  sendToPage(context, dumpCompact({{"T", "schedule"},
                                   {"C", "fired"},
                                   {"V", 1},
                                   {"P",
                                    {{"id", p["schedule"]},
                                     {"at", localText(at)},
                                     {"run", run},
                                     {"status", status},
                                     {"error", why}}}}));
}

void fire(AppContext& context, const json& schedule, int64_t at, bool missed) {
  const int64_t id = schedule.value("id", int64_t{0});
  const json operation = schedule.value("operation", json::object());
  json request = {{"C", operation.value("C", "")},
                  {"T", operation.value("T", "")},
                  {"V", 1},
                  {"P", operation.value("P", json::object())}};
  json& p = request["P"];
  p.update(schedule.value("targets", json::object()));
  p["schedule"] = id;
  if (missed) {
    return journalUnsent(context, request, "missed",
                         "the host did not run at " + localText(at) + " and is over an hour late",
                         at);
  }
  const std::string* file = stringField(p, "file");
  if (file && !readPlaylistFile(context.exeFolder, *file))
    return journalUnsent(context, request, "ERROR", "the playlist " + *file + " was removed", at);
  const Result<Login> login = lookupLogin(context, schedule.value("login", ""));
  if (!login) {
    return journalUnsent(context, request, "ERROR",
                         "the display login cannot be found: " + login.error(), at);
  }
  json sent = request;
  sent["P"].update({{"user", login->user}, {"pass", login->pass}});
  const int64_t before = context.journal.lastRun();
  const std::string reply = dispatchPageMessage(context, dumpCompact(sent));
  const int64_t run = context.journal.lastRun();
  if (run == before) {
    const json refused = json::parse(reply, nullptr, false);
    const json detail = refused.is_object() ? refused.value("P", json()) : json();
    std::string why = detail.is_object() ? stringOr(detail, "error") : "";
    if (why.empty() && detail.is_object()) why = stringOr(detail, "status");
    return journalUnsent(context, request, "ERROR",
                         "the operation was refused: " + (why.empty() ? reply : why), at);
  }
  sendToPage(
      context,
      dumpCompact({{"T", "schedule"},
                   {"C", "fired"},
                   {"V", 1},
                   {"P", {{"id", id}, {"at", localText(at)}, {"run", run}, {"status", "OK"}}}}));
}

void runSchedule(AppContext& context, const json& schedule, int64_t nowMs) {
  const auto when = readWhen(schedule.value("when", json()));
  if (!when || schedule.value("paused", false)) return;
  const int64_t id = schedule.value("id", int64_t{0});
  int64_t handled = schedule.value("handled", int64_t{0});
  int missed = 0;
  for (auto next = nextFiring(*when, handled); next && *next <= nowMs;
       next = nextFiring(*when, handled)) {
    // Firings come a day apart at least: only the last one can be less than an hour late.
    const bool late = nowMs - *next >= kMakeUpLimitMs;
    if (!late || missed++ < kMostMissed) fire(context, schedule, *next, late);
    handled = *next;
  }
  if (handled != schedule.value("handled", int64_t{0})) context.store->scheduleHandled(id, handled);
}

}  // namespace

std::string getSchedules(AppContext& context, json& message) {
  if (!context.store) return refuse(message, "the store is not open: " + context.storeError);
  json list = json::array();
  const int64_t now = nowMs();
  for (auto& schedule : context.store->schedules())
    list.push_back(scheduleView(context, schedule, now));
  return answer(message, {{"status", "OK"}, {"schedules", std::move(list)}});
}

std::string saveScheduleRequest(AppContext& context, json& message) {
  if (!context.store) return refuse(message, "the store is not open: " + context.storeError);
  const json& p = payloadOf(message);
  const int64_t id = integerField(p, "id").value_or(0);
  const json* stored = nullptr;
  const json all = context.store->schedules();
  for (const auto& schedule : all) {
    if (schedule["id"] == id) stored = &schedule;
  }
  if (id != 0 && !stored) return refuse(message, "unknown schedule " + std::to_string(id));
  const std::string* name = stringField(p, "name");
  if (!name || name->empty() || name->size() > 64 || !isPlainName(*name))
    return refuse(message,
                  "a schedule's \"name\" is 1 to 64 characters, without control characters");
  const auto operation = readOperation(context, p);
  if (!operation) return refuse(message, operation.error());
  const auto targets = readTargets(context, p);
  if (!targets) return refuse(message, targets.error());
  const json whenJson = p.value("when", json());
  const auto when = readWhen(whenJson);
  if (!when) return refuse(message, when.error());
  const int64_t now = nowMs();
  if (!nextFiring(*when, now))
    return refuse(message, "the schedule would never fire: its time has passed");
  std::string login = stringOr(p, "login");
  if (login.empty())
    login = stored ? stringOr(*stored, "login") : "schedule-" + std::to_string(now);
  const std::string* user = stringField(p, "user");
  const std::string* pass = stringField(p, "pass");
  if (user && pass) {
    if (Result<> kept = storeLogin(login, {*user, *pass}); !kept) {
      return refuse(message, "the display login cannot be kept: " + kept.error() +
                                 ". Name a credentials file in config.yaml (credentialsFile) "
                                 "that holds the login \"" +
                                 login + "\"");
    }
  } else if (const Result<Login> found = lookupLogin(context, login); !found) {
    return refuse(message, "give the displays' user name and password: " + found.error());
  }
  const json body = {{"name", *name},
                     {"operation", *operation},
                     {"targets", *targets},
                     {"when", whenJson},
                     {"login", login}};
  const Result<int64_t> saved = context.store->saveSchedule(id, body, now);
  if (!saved) return refuse(message, saved.error());
  watchSchedules(context);
  json view = body;
  view.update({{"id", *saved},
               {"paused", stored ? stored->value("paused", false) : false},
               {"handled", stored ? stored->value("handled", now) : now}});
  return answer(message, {{"status", "OK"}, {"schedule", scheduleView(context, view, now)}});
}

std::string removeScheduleRequest(AppContext& context, json& message) {
  if (!context.store) return refuse(message, "the store is not open: " + context.storeError);
  const auto id = integerField(payloadOf(message), "id");
  if (!id) return refuse(message, "\"id\" must be a schedule id");
  std::string login;
  int users = 0;  // of its login: another schedule may share it
  const json all = context.store->schedules();
  for (const auto& schedule : all) {
    if (schedule["id"] == *id) login = stringOr(schedule, "login");
  }
  for (const auto& schedule : all) users += !login.empty() && stringOr(schedule, "login") == login;
  if (Result<> removed = context.store->removeSchedule(*id); !removed)
    return refuse(message, removed.error());
  if (users == 1) forgetLogin(login);
  watchSchedules(context);
  return answer(message, {{"status", "OK"}, {"id", *id}});
}

std::string pauseScheduleRequest(AppContext& context, json& message) {
  if (!context.store) return refuse(message, "the store is not open: " + context.storeError);
  const json& p = payloadOf(message);
  const auto id = integerField(p, "id");
  const auto paused = p.find("paused");
  if (!id || paused == p.end() || !paused->is_boolean())
    return refuse(message, "the request needs a schedule \"id\" and \"paused\" true or false");
  if (Result<> done = context.store->pauseSchedule(*id, *paused); !done)
    return refuse(message, done.error());
  const int64_t now = nowMs();
  // What fell due while it was paused is not made up.
  if (!*paused) context.store->scheduleHandled(*id, now);
  watchSchedules(context);
  for (auto& schedule : context.store->schedules()) {
    if (schedule["id"] != *id) continue;
    if (!*paused) schedule["handled"] = now;
    return answer(message, {{"status", "OK"}, {"schedule", scheduleView(context, schedule, now)}});
  }
  return refuse(message, "unknown schedule " + std::to_string(*id));
}

void runSchedules(AppContext& context, int64_t nowMs) {
  if (!context.store) return;
  for (const auto& schedule : context.store->schedules()) runSchedule(context, schedule, nowMs);
}

void watchSchedules(AppContext& context) {
  if (!context.store || !context.httpService) return;
  const int64_t now = nowMs();
  auto sleep = std::chrono::milliseconds(kLongestSleep);
  for (const auto& schedule : context.store->schedules()) {
    const auto when = readWhen(schedule.value("when", json()));
    if (!when || schedule.value("paused", false)) continue;
    const auto next = nextFiring(*when, schedule.value("handled", int64_t{0}));
    if (next) sleep = std::min(sleep, std::chrono::milliseconds(std::max<int64_t>(*next - now, 0)));
  }
  const int generation = ++context.scheduleTimer;
  context.httpService->runAfter(sleep, [&context, generation] {
    if (context.scheduleTimer != generation) return;
    runSchedules(context, nowMs());
    watchSchedules(context);
  });
}
