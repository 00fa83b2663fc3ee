#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dsim {

struct HttpUrl {
  std::string host;  // without brackets for IPv6
  uint16_t port = 80;
  std::string authority;  // host[:port] as written, for the Host header
  std::string target;     // path and query, percent-encoded where needed; "/" at least
};

// "http://host[:port][/path][?query]" (scheme case-insensitive, fragment dropped).
// nullopt for another scheme, an empty host or a bad port.
std::optional<HttpUrl> parseHttpUrl(std::string_view url);

// Percent-encodes the bytes that may not appear in a request target (controls, space,
// non-ASCII and "<>\"\\^`{|}"); '%' and everything else are kept, so an encoded target is
// unchanged.
std::string percentEncodeTarget(std::string_view target);

// "a.b.c.d:port", or "[v6]:port".
std::string formatEndpoint(const std::string& address, uint16_t port, bool ipv6 = false);

// The dotted IPv4 address `index` places after `first`; nullopt past 255.255.255.255 or when
// `first` is not an IPv4 address.
std::optional<std::string> ipv4AddressAt(const std::string& first, uint32_t index);

}  // namespace dsim
