#pragma once

#include <cstdint>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Checked reads of JSON members, for values that come from the page, from stored files or from
// a task: a member that is missing, or of another type, reads as absent and never throws.

const std::string* stringField(const nlohmann::json& object, std::string_view key);
// The member's text, or "" when it is not a string.
std::string stringOr(const nlohmann::json& object, std::string_view key);
// Whether every key names a string member.
bool hasStrings(const nlohmann::json& object, std::initializer_list<std::string_view> keys);
std::optional<int64_t> integerField(const nlohmann::json& object, std::string_view key);
// The member when it is a number of any kind (integer or floating point).
const nlohmann::json* numberField(const nlohmann::json& object, std::string_view key);
const nlohmann::json* arrayField(const nlohmann::json& object, std::string_view key);
// The member when it is an array, else an empty array.
const nlohmann::json& arrayOrEmpty(const nlohmann::json& object, std::string_view key);
// The member's entries when it is an array of strings only.
std::optional<std::vector<std::string>> stringArray(const nlohmann::json& object,
                                                    std::string_view key);

// One line, members sorted, UTF-8 as it is; invalid UTF-8 becomes U+FFFD instead of throwing.
std::string dumpCompact(const nlohmann::json& value);
