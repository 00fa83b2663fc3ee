#pragma once

#include <nlohmann/json.hpp>
#include <string>

struct AppContext;

// The page's requests on the host's records (known displays, groups, the run journal). Each
// returns the reply for the page: the request echoed with its "P" rewritten. Without a store
// every one answers "status":"ERROR" with the reason and empty lists.
std::string getInventory(AppContext& context, nlohmann::json& message);
std::string addInventoryDisplay(AppContext& context, nlohmann::json& message);
std::string removeInventoryDisplay(AppContext& context, nlohmann::json& message);
std::string getGroups(AppContext& context, nlohmann::json& message);
std::string saveGroupRequest(AppContext& context, nlohmann::json& message);
std::string removeGroupRequest(AppContext& context, nlohmann::json& message);
std::string getHistory(AppContext& context, nlohmann::json& message);
// Asks where to save, then writes the CSV of one run ("id") or of the whole journal there.
std::string exportHistory(AppContext& context, nlohmann::json& message);
