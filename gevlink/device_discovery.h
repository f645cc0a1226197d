#pragma once
// Discovery and FORCEIP: GVCP broadcasts from one PC interface, before any
// device is open. On a loopback interface the first 32 loopback addresses
// are asked one by one as well as the loopback broadcast; on another
// interface its subnet broadcast and 255.255.255.255.
#include <cstdint>
#include <vector>

#include "gevlink/transport.h"

namespace gevlink {

// Where discovery and FORCEIP go from this interface (network order).
std::vector<uint32_t> discoveryTargets(uint32_t interfaceAddress);
// Collects one answer per device address for `timeoutMs`.
TransportResult enumerateDevices(uint32_t interfaceAddress, uint32_t timeoutMs, std::vector<DiscoveryAnswer>& answers);
// Asks the device with `mac` to take the address, `retries` times at most,
// `timeoutMs` each; addresses in network order.
TransportResult forceDeviceIp(uint32_t interfaceAddress, const uint8_t mac[6], uint32_t ip, uint32_t mask,
                              uint32_t gateway, uint32_t retries, uint32_t timeoutMs);

}  // namespace gevlink
