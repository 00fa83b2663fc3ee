#pragma once

#include <memory>
#include <string>

#include "deploy/device_task.h"

struct AppContext;

// The state machine that walks each display through login and its requests: called on the
// network thread for every answer, error and end (status 999 / 998 / 1000) of the connection
// opened for `task`. Returns the next request to write, or "OK"/"ERROR" when nothing is to be
// written.
std::string onTaskEvent(AppContext& context, const std::shared_ptr<DeviceTask>& task,
                        const std::string& body, const std::string& peer, int status);

// A request a display posted to a notification path. It names no deploy and comes from the
// display's address alone: it is credited to the one display of that address that owes it;
// when several do, none is, the journal of each keeps it as unattributed and the page is told.
void onNotification(AppContext& context, const std::string& body, const std::string& peer);

// Opens one connection per task; each one's events go to its own task. 0 when every connection
// was requested, -1 when no listener is open or an address cannot be connected to.
int connectTasks(AppContext& context, const DeviceTaskList& tasks);

// The second login step: the UserCheck POST answering the display's challenge.
std::string buildLoginRequest(const DeviceTask& task, const std::string& sessionId);
