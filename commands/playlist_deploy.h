#pragma once

#include <nlohmann/json.hpp>
#include <string>

struct AppContext;

// "deploy" "playlist" / "emergency": queues, per display, the urgent-mode switch and/or the
// upload announcement and fetch list of a saved playlist. Returns the reply for the page:
// empty on success, an error echo ("nofile", "zerosize", "mgService") otherwise; empty for
// a malformed payload, which sends nothing.
std::string deployPlaylist(AppContext& context, nlohmann::json& message);

// A playlist item's number read as a signed 32-bit value: unsigned values wrap modulo 2^32,
// fractions are truncated.
int32_t toInt32(const nlohmann::json& number);
