// What the packet ring takes from each captured IPv4 packet: the UDP payload
// of a whole datagram to its port, nothing of anything else.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gevlink/packet_ring.h"

namespace gevlink {
namespace {

// IPv4 (20-byte header, or 24 with options) + UDP to port 0x4E20 (20000)
// carrying "GVSP", as on the wire.
std::vector<uint8_t> datagram(bool options = false) {
  std::vector<uint8_t> p = {0x45, 0x00, 0x00, 0x20, 0x12, 0x34, 0x40, 0x00, 0x40, 0x11, 0x00, 0x00,
                            0x7F, 0x00, 0x00, 0x02, 0x7F, 0x00, 0x00, 0x01,  // from 127.0.0.2 to 127.0.0.1
                            0x0F, 0x74, 0x4E, 0x20, 0x00, 0x0C, 0x00, 0x00, 'G',  'V',  'S',  'P'};
  if (options) {
    p[0] = 0x46;
    p[3] = 0x24;
    p.insert(p.begin() + 20, {0x01, 0x01, 0x01, 0x00});  // no-operation options
  }
  return p;
}

TEST(PacketRing, TakesTheUdpPayloadOfWholeDatagramsToItsPortOnly) {
  std::span<const uint8_t> payload;
  bool truncated = true;
  for (bool options : {false, true}) {
    std::vector<uint8_t> p = datagram(options);
    p.insert(p.end(), {0, 0, 0, 0});  // link padding after the datagram is not payload
    ASSERT_TRUE(udpPayloadOf(p, 20000, payload, truncated));
    EXPECT_EQ(std::string(payload.begin(), payload.end()), "GVSP");
    EXPECT_FALSE(truncated);
  }
  // Captured short of its length: what is there, marked truncated.
  std::vector<uint8_t> p = datagram();
  ASSERT_TRUE(udpPayloadOf(std::span(p).first(30), 20000, payload, truncated));
  EXPECT_EQ(payload.size(), 2u);
  EXPECT_TRUE(truncated);

  EXPECT_FALSE(udpPayloadOf({}, 20000, payload, truncated));
  EXPECT_FALSE(udpPayloadOf(datagram(), 20001, payload, truncated));  // another port
  p.resize(27);                                                       // no whole UDP header
  EXPECT_FALSE(udpPayloadOf(p, 20000, payload, truncated));
  struct Change {
    std::size_t at;
    uint8_t value;
    const char* what;
  };
  for (Change c : {Change{9, 6, "TCP"},
                   {0, 0x65, "not version 4"},
                   {0, 0x44, "IP header shorter than 20"},
                   {6, 0x20, "more fragments follow"},
                   {7, 0x01, "not the first fragment"},
                   {25, 0x0D, "UDP length past the IP packet"},
                   {25, 0x07, "UDP length shorter than its header"},
                   {3, 0x1B, "IP length shorter than the headers"}}) {
    std::vector<uint8_t> bad = datagram();
    bad[c.at] = c.value;
    EXPECT_FALSE(udpPayloadOf(bad, 20000, payload, truncated)) << c.what;
  }
}

TEST(PacketRing, ChecksDatagramsAsTheUdpSocketWould) {
  std::vector<uint8_t> p = datagram();
  EXPECT_TRUE(udpChecksumHolds(p));  // 0: none computed
  p[26] = 0x09;
  p[27] = 0x98;  // over the pseudo header and the datagram
  EXPECT_TRUE(udpChecksumHolds(p));
  p[31] ^= 0x01;  // a bit flipped on the way
  EXPECT_FALSE(udpChecksumHolds(p));
  // An odd length: the last byte sums as the high half of a word.
  p = datagram();
  p.push_back(0xAB);
  p[3] = 0x21;
  p[25] = 0x0D;
  p[26] = 0x5E;
  p[27] = 0x95;
  EXPECT_TRUE(udpChecksumHolds(p));
  p.back() = 0xAC;
  EXPECT_FALSE(udpChecksumHolds(p));
}

}  // namespace
}  // namespace gevlink
