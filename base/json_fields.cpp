#include "base/json_fields.h"

using nlohmann::json;

namespace {

const json* member(const json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

}  // namespace

const std::string* stringField(const json& object, std::string_view key) {
  const json* value = member(object, key);
  return value && value->is_string() ? &value->get_ref<const std::string&>() : nullptr;
}

std::string stringOr(const json& object, std::string_view key) {
  const std::string* value = stringField(object, key);
  return value ? *value : std::string();
}

bool hasStrings(const json& object, std::initializer_list<std::string_view> keys) {
  for (std::string_view key : keys) {
    if (!stringField(object, key)) return false;
  }
  return true;
}

std::optional<int64_t> integerField(const json& object, std::string_view key) {
  const json* value = member(object, key);
  if (!value || !value->is_number_integer()) return std::nullopt;
  return value->get<int64_t>();
}

const json* numberField(const json& object, std::string_view key) {
  const json* value = member(object, key);
  return value && value->is_number() ? value : nullptr;
}

const json* arrayField(const json& object, std::string_view key) {
  const json* value = member(object, key);
  return value && value->is_array() ? value : nullptr;
}

const json& arrayOrEmpty(const json& object, std::string_view key) {
  static const json kEmpty = json::array();
  const json* array = arrayField(object, key);
  return array ? *array : kEmpty;
}

std::optional<std::vector<std::string>> stringArray(const json& object, std::string_view key) {
  const json* array = arrayField(object, key);
  if (!array) return std::nullopt;
  std::vector<std::string> entries;
  for (const auto& entry : *array) {
    if (!entry.is_string()) return std::nullopt;
    entries.push_back(entry.get<std::string>());
  }
  return entries;
}

std::string dumpCompact(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}
