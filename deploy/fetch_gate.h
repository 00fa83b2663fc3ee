#pragma once

// Which display tasks may start now. Waves: at most `waveSize` displays fetch at once, the
// others start, in the order they were chosen, as places free. Download windows: outside its
// window no task of a deploy is sent anything; one already fetching when it closes goes on.

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "deploy/device_task.h"
#include "deploy/download_window.h"

struct AppContext;

// What the choice needs of a task held back.
struct HeldTask {
  bool fetches = false;
  std::optional<DownloadWindow> window;
};

// The positions in `held`, in order, of the tasks that may start while `fetching` displays
// fetch and at most `waveSize` may (0: no limit).
std::vector<size_t> startable(std::span<const HeldTask> held, size_t fetching, size_t waveSize,
                              int minuteOfDay);

// The tasks of a new operation that may start now; the others are held and journalled as
// waiting. Held tasks of earlier operations for the same displays give way to these.
DeviceTaskList admitTasks(AppContext& context, const DeviceTaskList& tasks);
// Forgets the held tasks and places of an operation that could not start.
void dropTasks(AppContext& context, const DeviceTaskList& tasks);
// A display stopped fetching (it reported, failed, gave up or was superseded): its place goes to
// the next held task. Call without deviceTasksMutex.
void leavePlace(AppContext& context, const std::shared_ptr<DeviceTask>& task);
// The same with deviceTasksMutex held: the place is free, startHeldTasks() fills it.
void freePlace(AppContext& context, DeviceTask& task);
// Starts what may start now (after a place freed, a window opened, the wave size changed).
void startHeldTasks(AppContext& context);
