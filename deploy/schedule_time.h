#pragma once

// When a schedule fires, in the host's local time (the C library's time zone). Across a
// daylight-saving change a firing time comes once: a time the clock skips fires when the clock
// goes on, a time it repeats fires the first time.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "base/result.h"

struct LocalDate {
  int year = 0, month = 0, day = 0;
  auto operator<=>(const LocalDate&) const = default;
};

struct ScheduleWhen {
  bool once = false;
  LocalDate date;                  // once
  int minute = 0;                  // of the day
  unsigned days = 0;               // weekly: bit 0 Monday ... bit 6 Sunday
  std::optional<LocalDate> until;  // weekly: the last day it may fire
};

// {"once":"2026-12-24T06:00"} or
// {"weekly":{"days":["mon",...],"time":"06:00","until":"2027-03-31"}}.
Result<ScheduleWhen> readWhen(const nlohmann::json& value);
// The instant (ms since the epoch) the local `date` reaches `minute`.
int64_t localInstant(const LocalDate& date, int minute);
// The first firing after `afterMs`; nothing when it fires no more.
std::optional<int64_t> nextFiring(const ScheduleWhen& when, int64_t afterMs);
// "2026-12-24 06:00" in local time.
std::string localText(int64_t ms);
