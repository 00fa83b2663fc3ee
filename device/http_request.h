#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

using HttpHeaders = std::initializer_list<std::pair<std::string_view, std::string_view>>;

// The bytes of a request the host writes to a display: "METHOD TARGET HTTP/1.1", the headers
// in the order given, an empty line, then the body. Displays are picky about what they get, so
// every caller names each header itself.
std::string formatRequest(std::string_view methodAndTarget, HttpHeaders headers,
                          std::string_view body = {});
