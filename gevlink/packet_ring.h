#pragma once
// A packet socket receive ring (TPACKET_V3) for the UDP datagrams to one
// address and port: the kernel copies each datagram into memory shared
// with us as it arrives (in the context that delivers it), and the receive
// thread reads the ring with no system call per packet. Opening needs
// CAP_NET_RAW; without it the caller keeps receiving from its UDP socket.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace gevlink {

// The UDP payload of an IPv4 packet (the bytes from its IP header on) when
// it is a whole, unfragmented UDP datagram to `port`; `truncated` when the
// datagram is longer than the bytes captured (its payload is then cut).
bool udpPayloadOf(std::span<const uint8_t> ip, uint16_t port, std::span<const uint8_t>& payload, bool& truncated);
// Whether the UDP checksum of an IPv4 UDP datagram holds (a checksum of 0
// means the sender computed none); false for a datagram not whole.
bool udpChecksumHolds(std::span<const uint8_t> ip);

class PacketRing {
 public:
  // A ring of about `bytes` for UDP datagrams to `port` at
  // `interfaceAddress` (network byte order), on whichever interface they
  // come in. Null when the process may not open one (`why` says why).
  static std::unique_ptr<PacketRing> open(uint32_t interfaceAddress, uint16_t port, std::size_t bytes,
                                          std::string* why);
  ~PacketRing();
  PacketRing(const PacketRing&) = delete;
  PacketRing& operator=(const PacketRing&) = delete;

  // Waits up to timeoutMs (0: not at all) for a block of datagrams; true
  // when one is ready.
  bool waitBlock(int timeoutMs);
  // The next datagram of the ready block (its UDP payload); false at the
  // block's end, which goes back to the kernel then.
  bool next(std::span<const uint8_t>& payload, bool& truncated);

 private:
  PacketRing() = default;
  int fd_ = -1;
  uint16_t port_ = 0;
  uint8_t* map_ = nullptr;
  std::size_t mapSize_ = 0, blockSize_ = 0;
  unsigned blocks_ = 0, block_ = 0;
  // Within the ready block.
  uint32_t left_ = 0;
  const uint8_t* packet_ = nullptr;
  bool inBlock_ = false;
};

}  // namespace gevlink
