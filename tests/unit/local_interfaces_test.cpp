#include "discovery/local_interfaces.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

SystemAddress address(const char* name, const char* ip, int prefix, bool ethernet = true,
                      std::string mac = std::string("\x00\x1a\x2b\x3c\x4d\x5e", 6),
                      std::string description = {}) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  std::sscanf(ip, "%u.%u.%u.%u", &a, &b, &c, &d);
  return {name,
          description.empty() ? name : description,
          (a << 24) | (b << 16) | (c << 8) | d,
          prefix,
          ethernet,
          std::move(mac)};
}

TEST(LocalInterfaces, KeepEthernetLikeLinksAndChooseTheOneInTheDisplaysNetwork) {
  auto local = usableInterfaces({
      address("lo", "127.0.0.1", 8, false),
      address("eth1", "192.168.10.5", 24),
      address("eth0", "192.168.1.5", 24),
      address("eth0", "169.254.10.20", 16),
      address("tun0", "10.8.0.1", 24, false),
      address("wlan0", "10.0.0.2", 24, true, std::string("\xab\xcd\xef\x01\x02\x03", 6),
              "Wi-Fi wlan0"),
      address("veth1", "10.77.1.1", 24, true, ""),
      address("eth2", "110.0.0.5", 24),
      address("eth3", "172.16.4.1", 16),
      address("eth4", "10.1.2.3", 30),
  });
  std::string kept;
  for (const auto& entry : local)
    kept += entry.name + " " + entry.address + " " + entry.mac + " " + entry.description + "|";
  EXPECT_EQ(kept,
            "eth1 192.168.10.5 00-1A-2B-3C-4D-5E eth1|eth0 192.168.1.5 00-1A-2B-3C-4D-5E eth0|"
            "wlan0 10.0.0.2 AB-CD-EF-01-02-03 Wi-Fi wlan0|veth1 10.77.1.1  veth1|"
            "eth2 110.0.0.5 00-1A-2B-3C-4D-5E eth2|eth3 172.16.4.1 00-1A-2B-3C-4D-5E eth3|"
            "eth4 10.1.2.3 00-1A-2B-3C-4D-5E eth4|");
  struct Case {
    const char* device;
    const char* chosen;
  } cases[] = {
      {"10.0.0.77:8000", "10.0.0.2"},
      {"192.168.1.20", "192.168.1.5"},
      {"192.168.1.20:80", "192.168.1.5"},
      {"192.168.10.9:80", "192.168.10.5"},
      {"172.16.9.9:80", "172.16.4.1"},  // same /16, other third octet
      {"10.1.2.200:80", "10.1.2.3"},    // same three octets, outside the /30
      {"10.0.1.7:80", ""},
      {"no-dots-here", ""},
      {"", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(selectHostAddressFrom(c.device, local), c.chosen) << c.device;
  EXPECT_EQ(selectHostAddressFrom("10.0.0.7", {}), "");
}

}  // namespace
