#include "platform/calendar.h"

bool utcCalendar(std::time_t when, std::tm& out) {
  return gmtime_r(&when, &out) != nullptr;
}
