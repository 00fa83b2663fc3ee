#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One usable local IPv4 address.
struct LocalInterface {
  std::string name;     // adapter friendly name
  std::string address;  // dotted decimal
  std::string mac;      // "00-1A-2B-3C-4D-5E", empty when the adapter has none
  std::string description;
  int prefixLength = 0;  // of the address's network, 0 when unknown
};

// One IPv4 address as the system reports it, before any filtering.
struct SystemAddress {
  std::string interfaceName;
  uint32_t address = 0;  // host byte order
  int prefixLength = 0;
  unsigned linkType = 0;  // ARPHRD_* of /sys/class/net/IF/type (1 = Ethernet, 772 = loopback)
  bool wireless = false;
  std::string hardwareAddress;  // raw bytes
};

std::vector<SystemAddress> readSystemAddresses();

// Replaces what readSystemAddresses reports (tests give any list); an empty function restores
// the system's own list.
void overrideSystemAddresses(std::function<std::vector<SystemAddress>()> source);

// Keeps Ethernet-like links (Wi-Fi, veth and bridges report the same type) and drops
// link-local addresses, in the order given.
std::vector<LocalInterface> usableInterfaces(const std::vector<SystemAddress>& addresses);

std::vector<LocalInterface> listLocalInterfaces();

// The local address a display can reach: the first whose first three octets equal the
// display's; failing that, the first whose own network contains the display's address.
// Empty when none fits. `device` is "a.b.c.d" or "a.b.c.d:port".
std::string selectHostAddressFrom(const std::string& device,
                                  const std::vector<LocalInterface>& interfaces);
std::string selectHostAddress(const std::string& device);

std::string formatIpv4(uint32_t address);
