#pragma once
// Discovery answers: from a received datagram to the 256 bytes the device
// table keeps (GVCP header + 248-byte record), and from those to DeviceInfo.
#include <cstddef>
#include <cstdint>

#include "gevlink.h"
#include "gevlink/transport.h"

namespace gevlink {

// False when the datagram is not a successful, complete DISCOVERY_ACK.
bool discoveryAnswerFromDatagram(const uint8_t* datagram, std::size_t length, DiscoveryAnswer& answer);
// Numbers to host order, addresses kept in network order, texts as received.
void toDeviceInfo(const DiscoveryAnswer& answer, DeviceInfo& info);

}  // namespace gevlink
