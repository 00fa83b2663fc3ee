#pragma once

#include <nlohmann/json.hpp>
#include <string>

struct AppContext;

// The state machine that walks each display through login and its requests: called on the
// network thread for every answer, error and end of a device connection (status 999 / 1000)
// and for every request posted to a notification path (kStatusNotification). Returns the next
// request to write, or "OK"/"ERROR" when nothing is to be written.
std::string onDeviceReply(AppContext* context, const std::string& body, const std::string& peer,
                          int status);

// The second login step: the UserCheck POST answering the display's challenge.
std::string buildLoginRequest(const nlohmann::json& task, const std::string& sessionId);

// The display part of "a.b.c.d:port" (everything before the first ':').
std::string deviceHost(const std::string& address);
