#include <winsock2.h>
#include <ws2tcpip.h>
// iphlpapi.h needs the two above first.
#include <iphlpapi.h>

#include <vector>

#include "platform/network_adapters.h"
#include "platform/text_conversion.h"

namespace {

constexpr ULONG kFirstBufferSize = 15000;
constexpr int kAttempts = 3;

bool isEthernetOrWifi(DWORD type) {
  return type == IF_TYPE_ETHERNET_CSMACD || type == IF_TYPE_IEEE80211;
}

}  // namespace

std::vector<SystemAddress> readAdapterAddresses() {
  std::vector<SystemAddress> result;
  ULONG size = kFirstBufferSize;
  std::vector<unsigned char> buffer;
  ULONG status = ERROR_BUFFER_OVERFLOW;
  // The needed size can grow between two calls when an adapter comes up.
  for (int attempt = 0; attempt < kAttempts && status == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.assign(size, 0);
    status = GetAdaptersAddresses(AF_INET, GAA_FLAG_INCLUDE_PREFIX, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (status != NO_ERROR) return result;
  for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter;
       adapter = adapter->Next) {
    const std::string name = adapter->FriendlyName ? wideToUtf8(adapter->FriendlyName) : "";
    const std::string description = adapter->Description ? wideToUtf8(adapter->Description) : "";
    const std::string hardware(reinterpret_cast<const char*>(adapter->PhysicalAddress),
                               adapter->PhysicalAddressLength);
    for (auto* unicast = adapter->FirstUnicastAddress; unicast; unicast = unicast->Next) {
      const sockaddr* address = unicast->Address.lpSockaddr;
      if (!address || address->sa_family != AF_INET) continue;
      SystemAddress entry;
      entry.name = name;
      entry.description = description;
      entry.address = ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
      entry.prefixLength = unicast->OnLinkPrefixLength;
      entry.ethernetLike = isEthernetOrWifi(adapter->IfType);
      entry.hardwareAddress = hardware;
      result.push_back(std::move(entry));
    }
  }
  return result;
}
