#include "deploy/run_journal.h"

#include <algorithm>
#include <filesystem>

#include "app/app_context.h"
#include "base/clock.h"
#include "base/json_fields.h"
#include "base/log.h"
#include "deploy/device_replies.h"
#include "device/http_service.h"
#include "media/file_reading.h"
#include "platform/crypto.h"
#include "platform/file_system.h"

using nlohmann::json;

namespace {

constexpr auto kIdleRunLimit = std::chrono::minutes(30);
constexpr auto kIdleCheck = std::chrono::minutes(1);

bool isTerminal(const std::string& state) {
  return state == "failed" || state == "incomplete" || state == "confirmed" ||
         state == "reported" || state == "missed";
}

long long countIn(const json& payload, const char* key) {
  const std::string text = stringOr(payload, key);
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  return std::stoll(text);
}

StateJudgement failed(const std::string& step, const std::string& status) {
  return {"failed", {{"step", step}, {"status", status}}};
}

// Success as the display tells it, checked against what the host's server saw go out.
StateJudgement fetched(size_t files, size_t sentWhole) {
  json detail = {{"files", files}, {"seen", sentWhole}};
  return {sentWhole >= files ? "confirmed" : "reported", std::move(detail)};
}

// The page request as a retry needs it again; the store leaves credentials out of what it writes.
json requestToKeep(json message) {
  if (auto payload = message.find("P"); payload != message.end() && payload->is_object()) {
    payload->erase("retryOf");
    payload->erase("schedule");
  }
  return message;
}

std::string runKind(const json& message) {
  const std::string command = stringOr(message, "C");
  return command == "deploy" || command == "set" ? stringOr(message, "T") : command;
}

std::string stateMessage(int64_t run, const std::string& ip, const StateJudgement& judged) {
  return dumpCompact(
      {{"T", "history"},
       {"C", "state"},
       {"V", 1},
       {"P", {{"id", run}, {"ip", ip}, {"state", judged.state}, {"detail", judged.detail}}}});
}

std::string stoppedMessage(const std::string& error, const std::string& kind) {
  json payload = {{"status", "ERROR"}, {"error", error}};
  if (!kind.empty()) payload["kind"] = kind;
  return dumpCompact({{"T", "history"}, {"C", "stopped"}, {"V", 1}, {"P", payload}});
}

void armIdleCheck(AppContext& context) {
  if (!context.httpService) return;
  context.httpService->runAfter(kIdleCheck, [&context] {
    context.journal.endIdleRuns(context, kIdleRunLimit);
    armIdleCheck(context);
  });
}

}  // namespace

bool worthRetrying(const std::string& state) {
  return state == "failed" || state == "incomplete" || state == "pending" || state == "interrupted";
}

StateJudgement judgeOutcome(const std::string& step, const std::string& status, const json& payload,
                            size_t files, size_t sentWhole, bool awaiting) {
  // A fetch result that could be any of several displays' moves none of them.
  if (status == "unattributed") return {};
  if (step == "device") {
    if (status == "retry") return {};
    if (status == "waiting")
      return {"waiting",
              payload.contains("window") ? json{{"window", payload["window"]}} : json::object()};
    if (status == "started") return {"pending", json::object()};
    // A display that accepted its fetch list may close or lose its connection: the result
    // comes on a connection of its own.
    if ((status == "mgclose" || status == "mgerror") && awaiting) return {};
    return failed(step, status);
  }
  if (step == "schedule" && status == "missed") return {"missed", json::object()};
  if (status == "finish") {
    const long long success = countIn(payload, "success");
    if (files > 0 && success >= static_cast<long long>(files)) return fetched(files, sentWhole);
    return {"incomplete",
            {{"files", files},
             {"success", success},
             {"failed", countIn(payload, "failed")},
             {"total", countIn(payload, "total")}}};
  }
  if (step == "firmware") {
    return status == "OK" ? fetched(std::max<size_t>(files, 1), sentWhole) : failed(step, status);
  }
  if (status == "OK") {
    if (files > 0) return {};
    return {"confirmed", json::object()};
  }
  return failed(step, status);
}

int64_t RunJournal::begin(AppContext& context, const json& message, const std::string& playlist,
                          const std::string& area, const std::vector<std::string>& fileNames) {
  if (!context.store) return 0;
  RunStart start;
  start.kind = runKind(message);
  if (const std::string why = stopped(); !why.empty()) {
    reportProblem("the journal has stopped (" + why + "): this " + start.kind + " is not recorded");
    sendToPage(context, stoppedMessage(why, start.kind));
    return 0;
  }
  start.request = requestToKeep(message);
  start.playlist = playlist;
  const json& payload = message.contains("P") ? message["P"] : json::object();
  start.group = stringOr(payload, "group");
  start.retryOf = integerField(payload, "retryOf").value_or(0);
  start.schedule = integerField(payload, "schedule").value_or(0);
  start.ips = stringArray(payload, "ip").value_or(std::vector<std::string>());
  start.startedMs = nowMs();
  Run run;
  const std::string folder = context.webFolder() + "/" + area + "/";
  for (const auto& name : fileNames) {
    RunFile file{name, fileSize(folder + name), {}};
    std::error_code ec;
    const auto written = std::filesystem::last_write_time(pathFromUtf8(folder + name), ec);
    const std::string key = folder + name + "\n" + std::to_string(file.size) + "\n" +
                            std::to_string(written.time_since_epoch().count());
    {
      std::lock_guard lock(mutex_);
      if (auto known = digests_.find(key); known != digests_.end()) file.sha256 = known->second;
    }
    // Media files keep their name as long as they exist, so an earlier run's digest holds;
    // a firmware copy of the same name may hold other bytes.
    if (file.sha256.empty() && file.size > 0 && area == "media") {
      file.sha256 = context.store->knownDigest(name, file.size);
    }
    if (file.sha256.empty() && file.size > 0) {
      file.sha256 = sha256FileHex(folder + name);
      std::lock_guard lock(mutex_);
      digests_[key] = file.sha256;
    }
    run.paths.push_back("/" + area + "/" + name);
    run.files.push_back(std::move(file));
  }
  start.files = run.files;
  const Result<int64_t> begun = context.store->beginRun(start);
  if (!begun) {
    stop(context, begun.error(), start.kind);
    return 0;
  }
  const int64_t id = *begun;
  run.lastProgressMs = start.startedMs;
  for (const auto& ip : start.ips) run.states[ip] = "pending";
  if (context.httpService && !run.paths.empty()) {
    for (const auto& ip : start.ips)
      context.httpService->delivery().expect(id, deviceHost(ip), run.paths);
  }
  std::lock_guard lock(mutex_);
  runs_[id] = std::move(run);
  lastRun_ = id;
  return id;
}

size_t RunJournal::sentWhole(AppContext& context, int64_t id, const Run& run,
                             const std::string& ip) {
  if (!context.httpService) return 0;
  size_t whole = 0;
  for (size_t i = 0; i < run.paths.size(); ++i) {
    whole += context.httpService->delivery().sentWhole(id, deviceHost(ip), run.paths[i],
                                                       run.files[i].size);
  }
  return whole;
}

void RunJournal::endRun(AppContext& context, int64_t id, Run& run, int64_t now) {
  run.ended = true;
  if (context.httpService) context.httpService->delivery().forget(id);
  if (stopped_.empty()) context.store->endRun(id, now);
}

void RunJournal::stop(AppContext& context, const std::string& error, const std::string& kind) {
  bool first;
  {
    std::lock_guard lock(mutex_);
    first = stopped_.empty();
    if (first) stopped_ = error;
  }
  if (first) reportProblem("the journal stopped: " + error + "; what follows is not recorded");
  if (!kind.empty()) reportProblem("this " + kind + " is not recorded");
  if (first || !kind.empty()) sendToPage(context, stoppedMessage(stopped(), kind));
}

std::string RunJournal::stopped() {
  std::lock_guard lock(mutex_);
  return stopped_;
}

void RunJournal::record(AppContext& context, int64_t id, const std::string& ip,
                        const std::string& step, const std::string& status, const json& payload,
                        bool awaiting, std::string pageMessage) {
  if (!context.store || id == 0 || !stopped().empty()) {
    if (!pageMessage.empty()) sendToPage(context, std::move(pageMessage));
    return;
  }
  RunStep entry{id, ip, nowMs(), step, status, payload.is_object() ? payload : json::object(), {}};
  // What the step row already says, and the display's session, which ends with the connection.
  for (const char* key : {"ip", "status", "sessionid"}) entry.detail.erase(key);
  StateJudgement judged;
  {
    std::lock_guard lock(mutex_);
    auto found = runs_.find(id);
    if (found != runs_.end()) {
      Run& run = found->second;
      run.lastProgressMs = entry.atMs;
      std::string& state = run.states[ip];
      if (!isTerminal(state)) {
        judged = judgeOutcome(step, status, payload, run.files.size(),
                              sentWhole(context, id, run, ip), awaiting);
        if (!judged.state.empty() && judged.state != state) {
          state = judged.state;
          entry.state = judged.state;
          entry.detail.update(judged.detail);
        } else {
          judged.state.clear();
        }
      }
      const bool done = std::all_of(run.states.begin(), run.states.end(),
                                    [](const auto& display) { return isTerminal(display.second); });
      if (done && !run.ended) endRun(context, id, run, entry.atMs);
    }
  }
  std::string change = judged.state.empty() ? std::string() : stateMessage(id, ip, judged);
  context.store->recordStep(std::move(entry),
                            [this, &context, page = std::move(pageMessage),
                             change = std::move(change)](const std::string& error) mutable {
                              if (!page.empty()) sendToPage(context, std::move(page));
                              if (!error.empty()) return stop(context, error, {});
                              if (!change.empty()) sendToPage(context, std::move(change));
                            });
}

void RunJournal::endIdleRuns(AppContext& context, std::chrono::milliseconds idle) {
  if (!context.store) return;
  const int64_t now = nowMs();
  std::lock_guard lock(mutex_);
  for (auto& [id, run] : runs_) {
    // Displays waiting for their wave or window make no progress, and the run is not idle.
    const bool waiting = std::any_of(run.states.begin(), run.states.end(), [](const auto& display) {
      return display.second == "waiting";
    });
    if (!run.ended && !waiting && now - run.lastProgressMs >= idle.count()) {
      endRun(context, id, run, now);
    }
  }
}

int64_t RunJournal::lastRun() {
  std::lock_guard lock(mutex_);
  return lastRun_;
}

bool RunJournal::isGoing(int64_t id) {
  std::lock_guard lock(mutex_);
  auto found = runs_.find(id);
  return found != runs_.end() && !found->second.ended;
}

void watchIdleRuns(AppContext& context) {
  armIdleCheck(context);
}
