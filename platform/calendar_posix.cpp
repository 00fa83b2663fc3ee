#include "platform/calendar.h"

bool utcCalendar(std::time_t when, std::tm& out) {
  return gmtime_r(&when, &out) != nullptr;
}

bool localCalendar(std::time_t when, std::tm& out) {
  return localtime_r(&when, &out) != nullptr;
}
