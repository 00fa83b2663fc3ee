#pragma once

#include <string>
#include <string_view>

// Percent-encodes every byte except the unreserved characters (RFC 3986); with keepSlash, '/'
// is kept too, for whole paths.
std::string percentEncode(std::string_view text, bool keepSlash = false);
