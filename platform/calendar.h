#pragma once

#include <ctime>

// The UTC calendar fields of `when`; false when the system cannot represent it. Safe on any
// thread (gmtime's buffer is shared).
bool utcCalendar(std::time_t when, std::tm& out);
// The same in the host's local time zone.
bool localCalendar(std::time_t when, std::tm& out);
