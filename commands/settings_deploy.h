#pragma once

#include <nlohmann/json.hpp>
#include <string>

struct AppContext;

// "deploy" configure/firmware/brand/banner/greeting, "undeploy" playlist and "set"
// ad/adCamSwitch/devName: one request per display. The page gets no reply; a payload that
// lacks a member the operation needs sends nothing.
std::string deploySetting(AppContext& context, nlohmann::json& message);

// True for the (command, type) pairs that deploySetting handles.
bool isSettingRequest(const std::string& command, const std::string& type);
