#include "target.h"

namespace dsim {

SplitTarget splitTarget(std::string_view target) {
  const auto q = target.find('?');
  if (q == std::string_view::npos) return {std::string(target), ""};
  return {std::string(target.substr(0, q)), std::string(target.substr(q + 1))};
}

std::optional<std::string> queryValue(std::string_view query, std::string_view name) {
  while (true) {
    const auto amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const auto eq = pair.find('=');
    if (pair.substr(0, eq) == name) {
      if (eq == std::string_view::npos) return std::string();
      return std::string(pair.substr(eq + 1));
    }
    if (amp == std::string_view::npos) return std::nullopt;
    query.remove_prefix(amp + 1);
  }
}

}  // namespace dsim
