#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "platform/file_system.h"
#include "platform/network_adapters.h"

namespace {

// ARPHRD_ETHER: also what Wi-Fi, veth and bridges report.
constexpr int kLinkEthernet = 1;

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

}  // namespace

std::vector<SystemAddress> readAdapterAddresses() {
  std::vector<SystemAddress> result;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return result;
  for (ifaddrs* it = list; it; it = it->ifa_next) {
    if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET || !it->ifa_name) continue;
    SystemAddress entry;
    entry.name = it->ifa_name;
    // An alias label ("eth0:1") names the address, not the link.
    const std::string link = entry.name.substr(0, entry.name.find(':'));
    entry.address = ntohl(reinterpret_cast<sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr);
    if (it->ifa_netmask) {
      entry.prefixLength =
          prefixFromMask(ntohl(reinterpret_cast<sockaddr_in*>(it->ifa_netmask)->sin_addr.s_addr));
    }
    entry.ethernetLike = std::atoi(sysfsValue(link, "type").c_str()) == kLinkEthernet;
    const bool wireless = entryKind("/sys/class/net/" + link + "/wireless") == EntryKind::kFolder;
    entry.description = wireless ? "Wi-Fi " + entry.name : entry.name;
    entry.hardwareAddress = parseMac(sysfsValue(link, "address"));
    result.push_back(std::move(entry));
  }
  freeifaddrs(list);
  return result;
}
