#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dsim {

struct SplitTarget {
  std::string path;   // before the first '?'
  std::string query;  // after it ("" when there is none)
};

SplitTarget splitTarget(std::string_view target);

// The raw value of the first "name=value" pair of `query` ('&'-separated) whose name equals
// `name` exactly; nullopt when absent. A pair without '=' has the empty value.
std::optional<std::string> queryValue(std::string_view query, std::string_view name);

}  // namespace dsim
