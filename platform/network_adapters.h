#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One IPv4 address of a local adapter, as the system reports it, before any filtering.
struct SystemAddress {
  std::string name;         // the adapter's friendly name
  std::string description;  // as the system describes the adapter
  uint32_t address = 0;     // host byte order
  int prefixLength = 0;     // 0 when unknown
  // Ethernet or Wi-Fi; veth and bridges count as Ethernet, as Windows sees them too.
  bool ethernetLike = false;
  std::string hardwareAddress;  // raw bytes; empty when the adapter has none
};

// In the system's order of adapters and, within one, of addresses; empty on any failure.
std::vector<SystemAddress> readAdapterAddresses();
