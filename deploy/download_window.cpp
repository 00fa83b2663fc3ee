#include "deploy/download_window.h"

#include <ctime>
#include <optional>
#include <string>

#include "platform/calendar.h"

using nlohmann::json;

namespace {

constexpr int kDay = 24 * 60;

std::optional<int> readClock(const json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_string()) return std::nullopt;
  const std::string text = *found;
  const size_t colon = text.find(':');
  if (colon < 1 || colon > 2 || text.size() != colon + 3) return std::nullopt;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i != colon && (text[i] < '0' || text[i] > '9')) return std::nullopt;
  }
  const int hours = std::stoi(text.substr(0, colon));
  const int minutes = std::stoi(text.substr(colon + 1));
  if (hours > 23 || minutes > 59) return std::nullopt;
  return hours * 60 + minutes;
}

std::string clockText(int minute) {
  char text[8];
  std::snprintf(text, sizeof text, "%02d:%02d", minute / 60 % 24, minute % 60);
  return text;
}

}  // namespace

Result<DownloadWindow> readDownloadWindow(const json& value) {
  if (!value.is_object()) return failure("\"window\" must be an object with \"from\" and \"to\"");
  const auto from = readClock(value, "from");
  const auto to = readClock(value, "to");
  if (!from || !to) {
    return failure("the window's \"from\" and \"to\" must be times of day from 00:00 to 23:59");
  }
  if (*from == *to) return failure("the window starts and ends at the same time: it has no length");
  return DownloadWindow{*from, *to};
}

json windowJson(const DownloadWindow& window) {
  return {{"from", clockText(window.from)}, {"to", clockText(window.to)}};
}

bool windowOpen(const DownloadWindow& window, int minuteOfDay) {
  if (window.from < window.to) return minuteOfDay >= window.from && minuteOfDay < window.to;
  return minuteOfDay >= window.from || minuteOfDay < window.to;
}

int minutesUntilOpen(const DownloadWindow& window, int minuteOfDay) {
  if (windowOpen(window, minuteOfDay)) return 0;
  return (window.from - minuteOfDay + kDay) % kDay;
}

int localSecondOfDay() {
  std::tm local{};
  if (!localCalendar(std::time(nullptr), local)) return 0;
  return (local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec % 60;
}
