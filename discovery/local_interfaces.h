#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/network_adapters.h"

// One usable local IPv4 address.
struct LocalInterface {
  std::string name;     // adapter friendly name
  std::string address;  // dotted decimal
  std::string mac;      // "00-1A-2B-3C-4D-5E", empty when the adapter has none
  std::string description;
  int prefixLength = 0;  // of the address's network, 0 when unknown
};

// What the system reports, or what a test put in its place.
std::vector<SystemAddress> readSystemAddresses();

// Replaces what readSystemAddresses reports (tests give any list); an empty function restores
// the system's own list.
void overrideSystemAddresses(std::function<std::vector<SystemAddress>()> source);

// Keeps Ethernet and Wi-Fi adapters and drops link-local addresses, in the order given.
std::vector<LocalInterface> usableInterfaces(const std::vector<SystemAddress>& addresses);

std::vector<LocalInterface> listLocalInterfaces();

// The local address a display can reach: the first whose first three octets equal the
// display's; failing that, the first whose own network contains the display's address.
// Empty when none fits. `device` is "a.b.c.d" or "a.b.c.d:port".
std::string selectHostAddressFrom(const std::string& device,
                                  const std::vector<LocalInterface>& interfaces);
std::string selectHostAddress(const std::string& device);

std::string formatIpv4(uint32_t address);
