#include "deploy/fetch_gate.h"

#include <algorithm>
#include <chrono>

#include "app/app_context.h"
#include "base/json_fields.h"
#include "deploy/device_replies.h"
#include "device/device_client.h"
#include "device/http_service.h"

using nlohmann::json;

namespace {

// A display that accepted its fetch list and never reports gives its place up after this long,
// so that a wave cannot stop for good.
constexpr auto kPlaceLimit = std::chrono::minutes(30);
// A window's opening is checked at least this often: daylight-saving changes and a clock that
// is set move it.
constexpr int kWindowCheckSeconds = 3600;

HeldTask shapeOf(const DeviceTask& task) {
  return {task.fetches(), task.window};
}

std::string deviceMessage(json payload) {
  return dumpCompact({{"C", "deploy"}, {"T", "device"}, {"V", 1}, {"P", std::move(payload)}});
}

void tellHeld(AppContext& context, const DeviceTask& task, bool forWindow) {
  json payload = {
      {"status", "waiting"}, {"ip", task.ip}, {"reason", forWindow ? "window" : "wave"}};
  if (forWindow) payload["window"] = windowJson(*task.window);
  context.journal.record(context, task.run, task.ip, "device", "waiting", payload, false,
                         deviceMessage(payload));
}

void tellStarted(AppContext& context, const DeviceTask& task) {
  const json payload = {{"status", "started"}, {"ip", task.ip}};
  context.journal.record(context, task.run, task.ip, "device", "started", payload, false,
                         deviceMessage(payload));
}

void tellSuperseded(AppContext& context, const DeviceTask& task) {
  const json payload = {{"status", "superseded"}, {"ip", task.ip}};
  context.journal.record(context, task.run, task.ip, "device", "superseded", payload, false,
                         deviceMessage(payload));
}

// With the lock held: the held tasks whose turn it is leave the list and take their places.
DeviceTaskList takeStartable(AppContext& context, int minuteOfDay) {
  std::vector<HeldTask> shapes;
  for (const auto& task : context.heldTasks) shapes.push_back(shapeOf(*task));
  DeviceTaskList chosen;
  for (size_t index : startable(shapes, context.fetching, context.waveSize, minuteOfDay)) {
    const auto& task = context.heldTasks[index];
    if (task->fetches()) {
      task->holdsPlace = true;
      ++context.fetching;
    }
    chosen.push_back(task);
  }
  std::erase_if(context.heldTasks, [&chosen](const auto& task) {
    return std::find(chosen.begin(), chosen.end(), task) != chosen.end();
  });
  return chosen;
}

// With the lock held: seconds until a held task's window opens; 0 when none waits for one.
int secondsToNextOpening(const AppContext& context, int secondOfDay) {
  int next = 0;
  for (const auto& task : context.heldTasks) {
    if (!task->window) continue;
    const int minutes = minutesUntilOpen(*task->window, secondOfDay / 60);
    if (minutes == 0) continue;
    const int seconds = std::min(minutes * 60 - secondOfDay % 60, kWindowCheckSeconds);
    next = next == 0 ? seconds : std::min(next, seconds);
  }
  return next;
}

void watchWindows(AppContext& context, int secondOfDay) {
  int seconds;
  {
    std::lock_guard lock(context.deviceTasksMutex);
    seconds = context.windowTimerArmed ? 0 : secondsToNextOpening(context, secondOfDay);
    if (seconds > 0 && context.httpService) context.windowTimerArmed = true;
  }
  if (seconds <= 0 || !context.httpService) return;
  context.httpService->runAfter(std::chrono::seconds(seconds), [&context] {
    {
      std::lock_guard lock(context.deviceTasksMutex);
      context.windowTimerArmed = false;
    }
    startHeldTasks(context);
  });
}

void giveUpPlaceLater(AppContext& context, const std::shared_ptr<DeviceTask>& task) {
  if (!context.httpService || !task->holdsPlace) return;
  context.httpService->runAfter(kPlaceLimit, [&context, task] { leavePlace(context, task); });
}

// Connects each task by itself: one address that cannot be connected to fails only its own.
// Whether a place freed that way.
bool connectEach(AppContext& context, const DeviceTaskList& tasks) {
  bool freed = false;
  for (const auto& task : tasks) {
    giveUpPlaceLater(context, task);
    if (connectTasks(context, {task}) == 0) continue;
    {
      std::lock_guard lock(context.deviceTasksMutex);
      freed = freed || task->holdsPlace;
      freePlace(context, *task);
    }
    onTaskEvent(context, task, {}, task->ip, kStatusConnectionError);
    onTaskEvent(context, task, {}, task->ip, kStatusConnectionClosed);
  }
  return freed;
}

}  // namespace

std::vector<size_t> startable(std::span<const HeldTask> held, size_t fetching, size_t waveSize,
                              int minuteOfDay) {
  std::vector<size_t> chosen;
  for (size_t i = 0; i < held.size(); ++i) {
    if (held[i].window && !windowOpen(*held[i].window, minuteOfDay)) continue;
    if (held[i].fetches) {
      if (waveSize > 0 && fetching >= waveSize) continue;
      ++fetching;
    }
    chosen.push_back(i);
  }
  return chosen;
}

DeviceTaskList admitTasks(AppContext& context, const DeviceTaskList& tasks) {
  const int secondOfDay = context.secondOfDay();
  DeviceTaskList now, superseded;
  std::vector<std::shared_ptr<DeviceTask>> held;
  {
    std::lock_guard lock(context.deviceTasksMutex);
    std::erase_if(context.heldTasks, [&tasks, &superseded](const auto& old) {
      const bool replaced = std::any_of(tasks.begin(), tasks.end(),
                                        [&old](const auto& task) { return task->ip == old->ip; });
      if (replaced) superseded.push_back(old);
      return replaced;
    });
    context.heldTasks.insert(context.heldTasks.end(), tasks.begin(), tasks.end());
    now = takeStartable(context, secondOfDay / 60);
    for (const auto& task : tasks) {
      if (std::find(now.begin(), now.end(), task) == now.end()) held.push_back(task);
    }
  }
  for (const auto& task : superseded) tellSuperseded(context, *task);
  for (const auto& task : held) {
    tellHeld(context, *task, task->window && !windowOpen(*task->window, secondOfDay / 60));
  }
  for (const auto& task : now) giveUpPlaceLater(context, task);
  watchWindows(context, secondOfDay);
  return now;
}

void dropTasks(AppContext& context, const DeviceTaskList& tasks) {
  std::lock_guard lock(context.deviceTasksMutex);
  for (const auto& task : tasks) freePlace(context, *task);
  std::erase_if(context.heldTasks, [&tasks](const auto& task) {
    return std::find(tasks.begin(), tasks.end(), task) != tasks.end();
  });
}

void freePlace(AppContext& context, DeviceTask& task) {
  if (!task.holdsPlace) return;
  task.holdsPlace = false;
  --context.fetching;
}

void leavePlace(AppContext& context, const std::shared_ptr<DeviceTask>& task) {
  {
    std::lock_guard lock(context.deviceTasksMutex);
    if (!task->holdsPlace) return;
    freePlace(context, *task);
  }
  startHeldTasks(context);
}

void startHeldTasks(AppContext& context) {
  const int secondOfDay = context.secondOfDay();
  // Round after round while tasks that could not connect give their places to the next.
  for (bool freed = true; freed;) {
    DeviceTaskList chosen;
    {
      std::lock_guard lock(context.deviceTasksMutex);
      chosen = takeStartable(context, secondOfDay / 60);
    }
    for (const auto& task : chosen) tellStarted(context, *task);
    freed = connectEach(context, chosen);
  }
  watchWindows(context, secondOfDay);
}
