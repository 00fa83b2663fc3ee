#include "url.h"

#include <arpa/inet.h>

#include <cctype>
#include <charconv>
#include <cstring>

namespace dsim {
namespace {

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<HttpUrl> parseHttpUrl(std::string_view url) {
  constexpr std::string_view kScheme = "http://";
  if (!startsWithNoCase(url, kScheme)) return std::nullopt;
  url.remove_prefix(kScheme.size());
  if (const auto hash = url.find('#'); hash != std::string_view::npos) url = url.substr(0, hash);
  const auto end = url.find_first_of("/?");
  HttpUrl out;
  out.authority = std::string(url.substr(0, end));
  std::string_view rest = end == std::string_view::npos ? std::string_view() : url.substr(end);
  std::string_view hostPort = out.authority;
  if (hostPort.find('@') != std::string_view::npos) return std::nullopt;
  std::string_view portText;
  if (!hostPort.empty() && hostPort.front() == '[') {
    const auto close = hostPort.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    out.host = std::string(hostPort.substr(1, close - 1));
    std::string_view after = hostPort.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      portText = after.substr(1);
      if (portText.empty()) return std::nullopt;
    }
  } else {
    const auto colon = hostPort.rfind(':');
    out.host = std::string(hostPort.substr(0, colon));
    if (colon != std::string_view::npos) {
      portText = hostPort.substr(colon + 1);
      if (portText.empty()) return std::nullopt;
    }
  }
  if (out.host.empty()) return std::nullopt;
  if (!portText.empty()) {
    unsigned value = 0;
    auto [ptr, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), value);
    if (ec != std::errc() || ptr != portText.data() + portText.size() || value == 0 ||
        value > 65535)
      return std::nullopt;
    out.port = static_cast<uint16_t>(value);
  }
  std::string target = percentEncodeTarget(rest);
  if (target.empty() || target.front() != '/') target.insert(0, "/");
  out.target = std::move(target);
  return out;
}

std::string percentEncodeTarget(std::string_view target) {
  static const char* const kDigits = "0123456789ABCDEF";
  std::string out;
  out.reserve(target.size());
  for (const char c : target) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7F || std::strchr("<>\"\\^`{|}", c) != nullptr) {
      out.push_back('%');
      out.push_back(kDigits[b >> 4]);
      out.push_back(kDigits[b & 15]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string formatEndpoint(const std::string& address, uint16_t port, bool ipv6) {
  return (ipv6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

std::optional<std::string> ipv4AddressAt(const std::string& first, uint32_t index) {
  in_addr a{};
  if (inet_pton(AF_INET, first.c_str(), &a) != 1) return std::nullopt;
  const uint64_t value = uint64_t{ntohl(a.s_addr)} + index;
  if (value > 0xFFFFFFFFull) return std::nullopt;
  a.s_addr = htonl(static_cast<uint32_t>(value));
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a, text, sizeof text);
  return std::string(text);
}

}  // namespace dsim
