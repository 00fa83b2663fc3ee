#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dsim {

// What a display needs from a request body. Parsing never touches the network, never
// substitutes entities and reports nothing on stderr.

struct UserCheck {
  std::string username;
  std::string password;  // the hexadecimal login digest
  std::string sessionId;
};

enum class FetchKind { MediaList, Firmware };

// The downloads that a FetchListConfig or FetchFirmware body orders, and where the outcome
// goes. Texts are as found (missing elements are empty); checking them is the fetcher's job.
struct FetchOrder {
  FetchKind kind = FetchKind::MediaList;
  std::vector<std::string> urls;  // every FetchURL element, in document order
  std::string notifyHost;         // NotifyServerHost
  std::string notifyPort;         // NotifyServerPort
  std::string notifyUrl;          // NotifyServerURL (firmware)
};

// The name of the root element; nullopt when `body` is not well-formed XML.
std::optional<std::string> xmlRootName(const std::string& body);

// A UserCheck document's three values; nullopt when the body is not one.
std::optional<UserCheck> parseUserCheck(const std::string& body);

// TotalFileSize of a RequestUploadList document; nullopt when missing or not a number.
std::optional<uint64_t> parseTotalFileSize(const std::string& body);

// The order of a FetchListConfig (MediaList) or FetchFirmware (Firmware) document; nullopt
// when the body is not well-formed or its root is not the expected element.
std::optional<FetchOrder> parseFetchOrder(const std::string& body, FetchKind kind);

}  // namespace dsim
