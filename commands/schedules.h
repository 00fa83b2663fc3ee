#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

struct AppContext;

// {"T":"schedule","C":"get"|"save"|"remove"|"pause",...}: stored display operations, their
// targets and when they fire. Logins go to the secret store, never to the store.
std::string getSchedules(AppContext& context, nlohmann::json& message);
std::string saveScheduleRequest(AppContext& context, nlohmann::json& message);
std::string removeScheduleRequest(AppContext& context, nlohmann::json& message);
std::string pauseScheduleRequest(AppContext& context, nlohmann::json& message);

// Fires the firings due at `nowMs`. One missed while no instance ran is made up when it is less
// than an hour late and is journalled as missed otherwise; each firing is a run of its own.
void runSchedules(AppContext& context, int64_t nowMs);
// Keeps runSchedules() running at each next firing (the network must be started).
void watchSchedules(AppContext& context);
