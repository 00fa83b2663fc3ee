#include "deploy/schedule_time.h"

#include <array>
#include <cstdio>
#include <ctime>

#include "platform/calendar.h"

using nlohmann::json;

namespace {

constexpr std::array<const char*, 7> kDays = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
// A clock change moves local time by less than this.
constexpr int64_t kLongestGap = 4 * 3600;

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t daysFromCivil(const LocalDate& date) {
  const int64_t y = date.year - (date.month <= 2);
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (date.month + (date.month > 2 ? -3 : 9)) + 2) / 5 + date.day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

LocalDate civilFromDays(int64_t days) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {static_cast<int>(yoe + era * 400 + (month <= 2)), month, day};
}

int daysInMonth(int year, int month) {
  static constexpr int kDaysIn[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDaysIn[month - 1];
}

// Local wall-clock time of `when` as seconds of a day count, comparable across days.
int64_t wallSeconds(std::time_t when) {
  std::tm local{};
  if (!localCalendar(when, local)) return 0;
  return daysFromCivil({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday}) * 86400 +
         local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
}

bool digits(const std::string& text, size_t from, size_t count, int& value) {
  if (text.size() < from + count) return false;
  value = 0;
  for (size_t i = from; i < from + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

std::optional<LocalDate> readDate(const std::string& text) {
  LocalDate date;
  if (text.size() != 10 || text[4] != '-' || text[7] != '-' || !digits(text, 0, 4, date.year) ||
      !digits(text, 5, 2, date.month) || !digits(text, 8, 2, date.day) || date.year < 1970 ||
      date.month < 1 || date.month > 12 || date.day < 1 ||
      date.day > daysInMonth(date.year, date.month))
    return std::nullopt;
  return date;
}

std::optional<int> readTime(const std::string& text) {
  int hours = 0, minutes = 0;
  if (text.size() != 5 || text[2] != ':' || !digits(text, 0, 2, hours) ||
      !digits(text, 3, 2, minutes) || hours > 23 || minutes > 59)
    return std::nullopt;
  return hours * 60 + minutes;
}

Result<ScheduleWhen> readWeekly(const json& weekly) {
  ScheduleWhen when;
  const auto days = weekly.find("days");
  if (days == weekly.end() || !days->is_array() || days->empty())
    return failure("a weekly schedule needs at least one day (\"mon\" to \"sun\")");
  for (const auto& day : *days) {
    size_t index = 0;
    while (index < kDays.size() && !(day.is_string() && day == kDays[index])) ++index;
    if (index == kDays.size())
      return failure("the days of a weekly schedule are \"mon\" to \"sun\"");
    when.days |= 1u << index;
  }
  const auto time = weekly.find("time");
  const auto minute = time != weekly.end() && time->is_string() ? readTime(*time) : std::nullopt;
  if (!minute) return failure("a weekly schedule needs a \"time\" of day from 00:00 to 23:59");
  when.minute = *minute;
  if (const auto until = weekly.find("until"); until != weekly.end() && !until->is_null()) {
    when.until = until->is_string() ? readDate(*until) : std::nullopt;
    if (!when.until) return failure("\"until\" must be a date such as 2027-03-31");
  }
  return when;
}

}  // namespace

Result<ScheduleWhen> readWhen(const json& value) {
  if (!value.is_object() || value.size() != 1 ||
      (!value.contains("once") && !value.contains("weekly")))
    return failure("\"when\" must be {\"once\": ...} or {\"weekly\": ...}");
  if (const auto weekly = value.find("weekly"); weekly != value.end()) {
    if (!weekly->is_object()) return failure("\"weekly\" must be an object");
    return readWeekly(*weekly);
  }
  const json& once = value["once"];
  const std::string text = once.is_string() ? once.get<std::string>() : "";
  const auto date =
      text.size() == 16 && text[10] == 'T' ? readDate(text.substr(0, 10)) : std::nullopt;
  const auto minute = date ? readTime(text.substr(11)) : std::nullopt;
  if (!minute)
    return failure("\"once\" must be a date and time that exist, such as 2026-12-24T06:00");
  ScheduleWhen when;
  when.once = true;
  when.date = *date;
  when.minute = *minute;
  return when;
}

int64_t localInstant(const LocalDate& date, int minute) {
  const int64_t target = daysFromCivil(date) * 86400 + minute * 60;
  std::optional<std::time_t> earliest, latest;
  for (int dst : {1, 0}) {
    std::tm fields{};
    fields.tm_year = date.year - 1900;
    fields.tm_mon = date.month - 1;
    fields.tm_mday = date.day;
    fields.tm_hour = minute / 60;
    fields.tm_min = minute % 60;
    fields.tm_isdst = dst;
    const std::time_t when = std::mktime(&fields);
    if (when == -1) continue;
    if (!latest || when > *latest) latest = when;
    if (wallSeconds(when) == target && (!earliest || when < *earliest)) earliest = when;
  }
  if (earliest) return int64_t{*earliest} * 1000;
  // The clock skips this time: the firing comes when it goes on, the first instant past the gap.
  std::time_t high = latest.value_or(static_cast<std::time_t>(target));
  for (int step = 0; step < 4 && wallSeconds(high) < target; ++step) high += 3600;
  std::time_t low = high - kLongestGap;
  while (high - low > 1) {
    const std::time_t middle = low + (high - low) / 2;
    (wallSeconds(middle) >= target ? high : low) = middle;
  }
  return int64_t{high} * 1000;
}

std::optional<int64_t> nextFiring(const ScheduleWhen& when, int64_t afterMs) {
  if (when.once) {
    const int64_t at = localInstant(when.date, when.minute);
    return at > afterMs ? std::optional(at) : std::nullopt;
  }
  const int64_t firstDay = wallSeconds(static_cast<std::time_t>(afterMs / 1000)) / 86400;
  // Eight days: today's time may have passed, and the same weekday a week on is the last chance.
  for (int64_t day = firstDay; day <= firstDay + 8; ++day) {
    const LocalDate date = civilFromDays(day);
    if (when.until && *when.until < date) return std::nullopt;
    const int weekday = static_cast<int>(((day % 7) + 7 + 3) % 7);  // 1970-01-01 was a Thursday
    if (!(when.days & (1u << weekday))) continue;
    const int64_t at = localInstant(date, when.minute);
    if (at > afterMs) return at;
  }
  return std::nullopt;
}

std::string localText(int64_t ms) {
  std::tm local{};
  if (!localCalendar(static_cast<std::time_t>(ms / 1000), local)) return {};
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min);
  return text;
}
