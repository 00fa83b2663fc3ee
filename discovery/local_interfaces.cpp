#include "discovery/local_interfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>

#include "app/diag_log.h"
#include "media/file_utils.h"

namespace {

constexpr unsigned kLinkEthernet = 1;

std::string sysfsValue(const std::string& interfaceName, const char* attribute) {
  std::ifstream in("/sys/class/net/" + interfaceName + "/" + attribute);
  std::string value;
  std::getline(in, value);
  return value;
}

int prefixFromMask(uint32_t mask) {
  int bits = 0;
  while (mask & 0x80000000u) ++bits, mask <<= 1;
  return bits;
}

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

// The bytes of "aa:bb:cc:dd:ee:ff"; empty for an all-zero address or a malformed text.
std::string parseMac(const std::string& text) {
  std::string raw;
  bool allZero = true;
  for (size_t i = 0; i + 1 < text.size(); i += 3) {
    unsigned value = 0;
    if (std::sscanf(text.c_str() + i, "%2x", &value) != 1) return {};
    raw += static_cast<char>(value);
    allZero = allZero && value == 0;
  }
  return allZero ? std::string() : raw;
}

std::optional<uint32_t> parseIpv4(const std::string& text) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return std::nullopt;
  return ntohl(parsed.s_addr);
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
  std::vector<SystemAddress> result;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return result;
  for (ifaddrs* it = list; it; it = it->ifa_next) {
    if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET || !it->ifa_name) continue;
    SystemAddress entry;
    entry.interfaceName = it->ifa_name;
    // An alias label ("eth0:1") names the address, not the link.
    std::string link = entry.interfaceName.substr(0, entry.interfaceName.find(':'));
    entry.address = ntohl(reinterpret_cast<sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr);
    if (it->ifa_netmask) {
      entry.prefixLength =
          prefixFromMask(ntohl(reinterpret_cast<sockaddr_in*>(it->ifa_netmask)->sin_addr.s_addr));
    }
    entry.linkType = static_cast<unsigned>(std::atoi(sysfsValue(link, "type").c_str()));
    entry.wireless = isDirectory("/sys/class/net/" + link + "/wireless");
    entry.hardwareAddress = parseMac(sysfsValue(link, "address"));
    result.push_back(std::move(entry));
  }
  freeifaddrs(list);
  return result;
}

std::vector<LocalInterface> usableInterfaces(const std::vector<SystemAddress>& addresses) {
  std::vector<LocalInterface> result;
  for (const auto& entry : addresses) {
    if (entry.linkType != kLinkEthernet) continue;
    std::string address = formatIpv4(entry.address);
    if (address.rfind("169.254.", 0) == 0) continue;
    std::string description = entry.wireless ? "Wi-Fi " + entry.interfaceName : entry.interfaceName;
    result.push_back({entry.interfaceName, address, macText(entry.hardwareAddress), description,
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
