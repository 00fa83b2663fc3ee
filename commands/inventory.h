#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "store/store.h"

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
// Starts a full check of the store's file (unless one runs) and answers how it stands; the
// page receives checkMessage() of the outcome once it is known.
std::string checkHistory(AppContext& context, nlohmann::json& message);
nlohmann::json checkMessage(const CheckStatus& status);
// The same without a request, for the start after a crash (context.store is set).
void startStoreCheck(AppContext& context);

// Why a history request cannot be used: "P" that is not an object; empty when it can.
std::string historyRequestError(const nlohmann::json& message);
// Why `payload[key]` is not a run id (a whole number above 0); empty when it is, or when it is
// absent and not `required`.
std::string runIdError(const nlohmann::json& payload, std::string_view key, bool required);
