// A datagram received by discovery: accepted only as a whole DISCOVERY_ACK,
// then turned into a DeviceInfo.
#include <cstddef>
#include <cstdint>

#include "gevlink/discovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  gevlink::DiscoveryAnswer answer{};
  if (gevlink::discoveryAnswerFromDatagram(data, size, answer)) {
    DeviceInfo info;
    gevlink::toDeviceInfo(answer, info);
    if (info.reserved != 0) __builtin_trap();
  }
  return 0;
}
