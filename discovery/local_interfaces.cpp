#include "discovery/local_interfaces.h"

#include <cstdio>
#include <mutex>
#include <optional>

#include "base/log.h"

namespace {

std::string macText(const std::string& raw) {
  std::string text;
  char byte[4];
  for (unsigned char c : raw) {
    std::snprintf(byte, sizeof byte, "%02X", c);
    if (!text.empty()) text += '-';
    text += byte;
  }
  return text;
}

std::optional<uint32_t> parseIpv4(const std::string& text) {
  // Four decimal octets without leading zeros, as inet_pton takes them.
  uint32_t value = 0;
  size_t at = 0;
  for (int octet = 0; octet < 4; ++octet) {
    if (octet > 0 && (at >= text.size() || text[at++] != '.')) return std::nullopt;
    const size_t start = at;
    unsigned part = 0;
    while (at < text.size() && at - start < 3 && text[at] >= '0' && text[at] <= '9') {
      part = part * 10 + static_cast<unsigned>(text[at++] - '0');
    }
    const bool leadingZero = at - start > 1 && text[start] == '0';
    if (at == start || part > 255 || leadingZero) return std::nullopt;
    value = (value << 8) | part;
  }
  if (at != text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::string formatIpv4(uint32_t a) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255,
                a & 255);
  return text;
}

namespace {
std::mutex sourceMutex;
std::function<std::vector<SystemAddress>()> sourceOverride;
}  // namespace

void overrideSystemAddresses(std::function<std::vector<SystemAddress>()> source) {
  std::lock_guard lock(sourceMutex);
  sourceOverride = std::move(source);
}

std::vector<SystemAddress> readSystemAddresses() {
  {
    std::lock_guard lock(sourceMutex);
    if (sourceOverride) return sourceOverride();
  }
  return readAdapterAddresses();
}

std::vector<LocalInterface> usableInterfaces(const std::vector<SystemAddress>& addresses) {
  std::vector<LocalInterface> result;
  for (const auto& entry : addresses) {
    if (!entry.ethernetLike) continue;
    std::string address = formatIpv4(entry.address);
    if (address.rfind("169.254.", 0) == 0) continue;
    result.push_back({entry.name, address, macText(entry.hardwareAddress), entry.description,
                      entry.prefixLength});
  }
  return result;
}

std::vector<LocalInterface> listLocalInterfaces() {
  return usableInterfaces(readSystemAddresses());
}

std::string selectHostAddressFrom(const std::string& device,
                                  const std::vector<LocalInterface>& interfaces) {
  if (interfaces.empty()) {
    diagLog("LOCAL IP ADDRESS IS EMPTY!");
    return {};
  }
  size_t lastDot = device.rfind('.');
  if (lastDot == std::string::npos) {
    diagLog("Not support IPv6 yet");
    return {};
  }
  std::string key = device.substr(0, lastDot + 1);
  for (const auto& local : interfaces) {
    if (local.address.rfind(key, 0) == 0) return local.address;
  }
  // Networks wider than /24 (or narrower ones that do not follow octet lines) still have a
  // way back to the host.
  auto target = parseIpv4(device.substr(0, device.find(':')));
  for (const auto& local : interfaces) {
    auto own = parseIpv4(local.address);
    if (!target || !own || local.prefixLength <= 0 || local.prefixLength > 32) continue;
    uint32_t mask = local.prefixLength == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> local.prefixLength);
    if ((*own & mask) == (*target & mask)) return local.address;
  }
  diagLog("NO LOCAL IP ADDRESS IS IN SAME SUBNET WITH DEVICES!");
  return {};
}

std::string selectHostAddress(const std::string& device) {
  return selectHostAddressFrom(device, listLocalInterfaces());
}
