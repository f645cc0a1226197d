// A captured packet as the packet ring hands it over (from its IPv4 header
// on): the UDP payload taken from it, and the checksum over it, never reach
// outside the bytes given.
#include <cstddef>
#include <cstdint>

#include "gevlink/packet_ring.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> payload;
  bool truncated = false;
  const uint16_t port = size >= 24 ? uint16_t(data[22] << 8 | data[23]) : 0;
  if (gevlink::udpPayloadOf({data, size}, port, payload, truncated)) {
    if (payload.data() < data || payload.data() + payload.size() > data + size) __builtin_trap();
    volatile uint8_t sum = 0;
    for (uint8_t b : payload) sum = uint8_t(sum + b);
  }
  volatile bool holds = gevlink::udpChecksumHolds({data, size});
  (void)holds;
  return 0;
}
