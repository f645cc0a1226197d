#include "gevlink/packet_ring.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "gevlink/wire/byte_order.h"

namespace gevlink {

bool udpPayloadOf(std::span<const uint8_t> ip, uint16_t port, std::span<const uint8_t>& payload, bool& truncated) {
  constexpr std::size_t kUdpHeader = 8;
  if (ip.size() < 20 || (ip[0] >> 4) != 4 || ip[9] != IPPROTO_UDP) return false;
  const std::size_t ipHeader = std::size_t(ip[0] & 0x0F) * 4;
  if (ipHeader < 20 || ip.size() < ipHeader + kUdpHeader) return false;
  if (wire::get16(&ip[6]) & 0x3FFF) return false;  // a fragment (more follow, or not the first)
  const std::size_t total = wire::get16(&ip[2]);
  if (total < ipHeader + kUdpHeader) return false;
  const uint8_t* udp = ip.data() + ipHeader;
  if (wire::get16(udp + 2) != port) return false;
  const std::size_t udpLength = wire::get16(udp + 4);
  if (udpLength < kUdpHeader || udpLength > total - ipHeader) return false;
  const std::size_t captured = ip.size() - ipHeader;  // may hold link padding after the datagram
  truncated = udpLength > captured;
  payload = {udp + kUdpHeader, std::min(udpLength, captured) - kUdpHeader};
  return true;
}

bool udpChecksumHolds(std::span<const uint8_t> ip) {
  if (ip.size() < 20) return false;
  const std::size_t ipHeader = std::size_t(ip[0] & 0x0F) * 4;
  if (ipHeader < 20 || ip.size() < ipHeader + 8) return false;
  const uint8_t* udp = ip.data() + ipHeader;
  const std::size_t udpLength = wire::get16(udp + 4);
  if (udpLength < 8 || ip.size() - ipHeader < udpLength) return false;  // not whole: cannot hold
  if (wire::get16(udp + 6) == 0) return true;
  // Ones' complement sum of the pseudo header (addresses, protocol, length)
  // and the datagram, 16 bits at a time; a whole datagram sums to 0xFFFF.
  uint64_t sum = uint64_t(wire::get16(&ip[12])) + wire::get16(&ip[14]) + wire::get16(&ip[16]) + wire::get16(&ip[18]) +
                 IPPROTO_UDP + udpLength;
  std::size_t i = 0;
  for (; i + 1 < udpLength; i += 2) sum += wire::get16(udp + i);
  if (i < udpLength) sum += uint32_t(udp[i]) << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return sum == 0xFFFF;
}

namespace {

constexpr std::size_t kBlockSize = 256 << 10;  // 2 ms of a 1 Gbit/s stream
constexpr unsigned kFrameSize = 2048;          // only sizes the ring's bookkeeping in TPACKET_V3
constexpr unsigned kRetireMs = 2;              // a block not filled by then goes to us anyway

}  // namespace

std::unique_ptr<PacketRing> PacketRing::open(uint32_t interfaceAddress, uint16_t port, std::size_t bytes,
                                             std::string* why) {
  auto fail = [&](const char* what) {
    if (why) *why = std::string(what) + ": " + std::strerror(errno);
    return nullptr;
  };
  std::unique_ptr<PacketRing> ring(new PacketRing);
  ring->port_ = port;
  // Protocol 0 until bound: nothing arrives before the filter is in place.
  ring->fd_ = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (ring->fd_ < 0) return fail("packet socket");
  int version = TPACKET_V3;
  if (setsockopt(ring->fd_, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0) return fail("TPACKET_V3");
  // Only whole IPv4 UDP datagrams to address:port reach the ring (offsets
  // from the IP header: a SOCK_DGRAM packet socket sees no link header).
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 0),
      BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0xF0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x40, 0, 10),
      BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 9),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, 0, 8),
      BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 6),
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x3FFF, 6, 0),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 16),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ntohl(interfaceAddress), 0, 4),
      BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),
      BPF_STMT(BPF_LD | BPF_H | BPF_IND, 2),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, port, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, 0x40000),
      BPF_STMT(BPF_RET | BPF_K, 0),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
  if (setsockopt(ring->fd_, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0) return fail("filter");
  int on = 1;
  setsockopt(ring->fd_, SOL_PACKET, PACKET_IGNORE_OUTGOING, &on, sizeof on);  // older kernels: checked per packet
  tpacket_req3 req{};
  req.tp_block_size = unsigned(kBlockSize);
  req.tp_block_nr = unsigned(std::max<std::size_t>(4, bytes / kBlockSize));
  req.tp_frame_size = kFrameSize;
  req.tp_frame_nr = unsigned(kBlockSize / kFrameSize) * req.tp_block_nr;
  req.tp_retire_blk_tov = kRetireMs;
  if (setsockopt(ring->fd_, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) != 0) return fail("receive ring");
  ring->blockSize_ = kBlockSize;
  ring->blocks_ = req.tp_block_nr;
  ring->mapSize_ = kBlockSize * req.tp_block_nr;
  void* map = mmap(nullptr, ring->mapSize_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_LOCKED, ring->fd_, 0);
  if (map == MAP_FAILED) map = mmap(nullptr, ring->mapSize_, PROT_READ | PROT_WRITE, MAP_SHARED, ring->fd_, 0);
  if (map == MAP_FAILED) return fail("ring mapping");
  ring->map_ = static_cast<uint8_t*>(map);
  sockaddr_ll at{};
  at.sll_family = AF_PACKET;
  at.sll_protocol = htons(ETH_P_IP);
  // Every interface: a datagram to the address may come in on any of them
  // (the UDP socket takes it whichever), and the filter sees to the rest.
  at.sll_ifindex = 0;
  if (bind(ring->fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) return fail("packet socket bind");
  return ring;
}

PacketRing::~PacketRing() {
  if (map_) munmap(map_, mapSize_);
  if (fd_ >= 0) ::close(fd_);
}

bool PacketRing::waitBlock(int timeoutMs) {
  if (inBlock_) return true;
  auto* block = reinterpret_cast<tpacket_block_desc*>(map_ + std::size_t(block_) * blockSize_);
  auto ready = [&] { return (__atomic_load_n(&block->hdr.bh1.block_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) != 0; };
  if (!ready()) {
    if (timeoutMs <= 0) return false;
    pollfd p{fd_, POLLIN | POLLERR, 0};
    poll(&p, 1, timeoutMs);
    if (!ready()) return false;
  }
  inBlock_ = true;
  left_ = block->hdr.bh1.num_pkts;
  packet_ = reinterpret_cast<const uint8_t*>(block) + block->hdr.bh1.offset_to_first_pkt;
  return true;
}

bool PacketRing::next(std::span<const uint8_t>& payload, bool& truncated) {
  if (!inBlock_) return false;
  const uint8_t* blockStart = map_ + std::size_t(block_) * blockSize_;
  const uint8_t* blockEnd = blockStart + blockSize_;
  while (left_ > 0 && packet_ + TPACKET3_HDRLEN <= blockEnd) {
    const auto* h = reinterpret_cast<const tpacket3_hdr*>(packet_);
    --left_;
    packet_ = h->tp_next_offset ? packet_ + h->tp_next_offset : blockEnd;
    const auto* ll =
        reinterpret_cast<const sockaddr_ll*>(reinterpret_cast<const uint8_t*>(h) + TPACKET_ALIGN(sizeof(tpacket3_hdr)));
    if (ll->sll_pkttype == PACKET_OUTGOING) continue;
    const uint8_t* ip = reinterpret_cast<const uint8_t*>(h) + h->tp_net;
    if (ip < blockStart || ip + h->tp_snaplen > blockEnd) continue;  // inside the block, checked all the same
    if (!udpPayloadOf({ip, h->tp_snaplen}, port_, payload, truncated)) continue;
    truncated = truncated || h->tp_snaplen < h->tp_len;
    // The ring sees datagrams before UDP checks them: unless the interface
    // vouched for the checksum (or it is not filled in yet, as on loopback),
    // check it as the UDP socket would, dropping what fails.
    if (!truncated && !(h->tp_status & (TP_STATUS_CSUM_VALID | TP_STATUS_CSUMNOTREADY)) &&
        !udpChecksumHolds({ip, h->tp_snaplen}))
      continue;
    return true;
  }
  // The block goes back to the kernel; the next one is its successor.
  auto* block = reinterpret_cast<tpacket_block_desc*>(map_ + std::size_t(block_) * blockSize_);
  __atomic_store_n(&block->hdr.bh1.block_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
  block_ = (block_ + 1) % blocks_;
  inBlock_ = false;
  return false;
}

}  // namespace gevlink
