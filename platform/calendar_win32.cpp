#include "platform/calendar.h"

bool utcCalendar(std::time_t when, std::tm& out) {
  return gmtime_s(&out, &when) == 0;
}

bool localCalendar(std::time_t when, std::tm& out) {
  return localtime_s(&out, &when) == 0;
}
