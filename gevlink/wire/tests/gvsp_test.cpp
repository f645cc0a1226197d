// GVSP leader, payload and trailer packets compared with packets written by
// hand from the GigE Vision layouts.
#include "gevlink/wire/gvsp.h"

#include <gtest/gtest.h>

#include <array>

#include "gevlink/wire/tests/hex.h"

namespace gevlink::wire {
namespace {

using test::hex;

TEST(Gvsp, ImageLeaderPayloadTrailer) {
  const auto handLeader =
      hex("0000 0102 01 000000"  // status, block 0x0102, leader, packet 0
          "0000 0001"            // reserved, payload type image
          "00000001 02030405"    // timestamp
          "01080001"             // Mono8
          "00000280 00000200"    // 640 x 512
          "00000000 00000000 0000 0000");
  ImageLeader leader;
  leader.timestamp = 0x0000000102030405ull;
  leader.width = 640;
  leader.height = 512;
  std::array<uint8_t, 64> buffer{};
  ASSERT_EQ(writeImageLeader(buffer, 0x0102, false, leader), handLeader.size());
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 44), handLeader);

  GvspHeader header;
  std::span<const uint8_t> payload;
  ASSERT_TRUE(parseGvspHeader(handLeader, header, payload));
  EXPECT_EQ(header.blockId, 0x0102u);
  EXPECT_EQ(header.format, kFormatLeader);
  EXPECT_EQ(header.packetId, 0u);
  ImageLeader got;
  ASSERT_TRUE(parseImageLeader(payload, got));
  EXPECT_EQ(got.width, 640u);
  EXPECT_EQ(got.height, 512u);
  EXPECT_EQ(got.pixelFormat, kPixelMono8);
  EXPECT_EQ(got.timestamp, 0x0000000102030405ull);

  const auto handPayload = hex("0000 0102 03 000a1b  aabbcc");
  ASSERT_EQ(writeGvspHeader(buffer, GvspHeader{0, 0x0102, kFormatPayload, 0x0a1b, false}), 8u);
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 8), hex("0000 0102 03 000a1b"));
  ASSERT_TRUE(parseGvspHeader(handPayload, header, payload));
  EXPECT_EQ(header.format, kFormatPayload);
  EXPECT_EQ(header.packetId, 0x0a1bu);
  EXPECT_EQ(std::vector<uint8_t>(payload.begin(), payload.end()), hex("aabbcc"));

  const auto handTrailer = hex("0000 0102 02 000e01  0000 0001 00000200");
  ASSERT_EQ(writeImageTrailer(buffer, 0x0102, 0xe01, false, ImageTrailer{kPayloadTypeImage, 512}), 16u);
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 16), handTrailer);
  ImageTrailer trailer;
  ASSERT_TRUE(parseGvspHeader(handTrailer, header, payload));
  ASSERT_TRUE(parseImageTrailer(payload, trailer));
  EXPECT_EQ(trailer.height, 512u);

  // Extended ids: 64-bit block id, 32-bit packet id after the flag byte.
  const auto handExtended = hex("800c 0000 83 000000 0000000100000002 00000007");
  ASSERT_EQ(writeGvspHeader(buffer, GvspHeader{GEV_STATUS_PACKET_UNAVAILABLE, 0x100000002ull, kFormatPayload, 7, true}),
            20u);
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 20), handExtended);
  ASSERT_TRUE(parseGvspHeader(handExtended, header, payload));
  EXPECT_TRUE(header.extendedId);
  EXPECT_EQ(header.status, GEV_STATUS_PACKET_UNAVAILABLE);
  EXPECT_EQ(header.blockId, 0x100000002ull);
  EXPECT_EQ(header.packetId, 7u);

  EXPECT_EQ(payloadBytesPerPacket(1500), 1464u);
  EXPECT_EQ(payloadBytesPerPacket(36), 0u);
}

TEST(Gvsp, ShortPacketsAreRefused) {
  GvspHeader header;
  std::span<const uint8_t> payload;
  EXPECT_FALSE(parseGvspHeader(hex("0000 0102 01 0000"), header, payload));
  EXPECT_FALSE(parseGvspHeader(hex("0000 0000 81 000000 00000000"), header, payload));
  ImageLeader leader;
  EXPECT_FALSE(parseImageLeader(hex("0000 00"), leader));
  EXPECT_FALSE(parseImageLeader(hex("0000 0001 00000001"), leader));
  EXPECT_FALSE(parseImageLeader(std::vector<uint8_t>(36, 0), leader));  // payload type 0
  ImageTrailer trailer;
  EXPECT_FALSE(parseImageTrailer(hex("0000 0001 0000"), trailer));
  std::array<uint8_t, 43> small{};
  EXPECT_EQ(writeImageLeader(small, 1, false, ImageLeader{}), 0u);
  EXPECT_EQ(writeImageTrailer(std::span<uint8_t>(small).first(15), 1, 2, false, ImageTrailer{}), 0u);
}

}  // namespace
}  // namespace gevlink::wire
