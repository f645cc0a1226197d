#pragma once
// GVSP, the GigE Vision stream protocol, for image blocks: a leader (packet id
// 0), payload packets (1..n) and a trailer (n+1), each a UDP datagram with an
// 8-byte header (status, 16-bit block id, packet format, 24-bit packet id), or
// the 20-byte header of the extended-id form (64-bit block id, 32-bit packet
// id). Writers fill caller buffers (no allocation: they run once per packet);
// parsers check every length before use.
#include <cstddef>
#include <cstdint>
#include <span>

#include "gevlink/wire/gvcp.h"

namespace gevlink::wire {

constexpr size_t kGvspHeaderSize = 8;
constexpr size_t kGvspExtendedHeaderSize = 20;
// IP (20) + UDP (8) bytes that the stream packet size register counts too.
constexpr size_t kIpUdpOverhead = 28;

constexpr uint8_t kFormatLeader = 1;
constexpr uint8_t kFormatTrailer = 2;
constexpr uint8_t kFormatPayload = 3;
constexpr uint8_t kFormatAllIn = 4;

constexpr uint16_t kPayloadTypeImage = 0x0001;

// Pixel formats (GenICam PFNC values).
constexpr uint32_t kPixelMono8 = 0x01080001;
constexpr uint32_t kPixelMono16 = 0x01100007;

struct GvspHeader {
  uint16_t status = GEV_STATUS_SUCCESS;
  uint64_t blockId = 0;   // 16 bits unless extendedId
  uint8_t format = 0;     // kFormat*
  uint32_t packetId = 0;  // 24 bits unless extendedId
  bool extendedId = false;
};

// Image data bytes per payload packet for a stream packet size (SCPS, which
// includes the IP and UDP headers): 1500 -> 1464. 0 when the size is too small.
constexpr uint32_t payloadBytesPerPacket(uint32_t packetSize, bool extendedId = false) {
  const uint32_t overhead =
      static_cast<uint32_t>(kIpUdpOverhead + (extendedId ? kGvspExtendedHeaderSize : kGvspHeaderSize));
  return packetSize > overhead ? packetSize - overhead : 0;
}

// Writes the header; returns its size (8 or 20), 0 when out is too small.
size_t writeGvspHeader(std::span<uint8_t> out, const GvspHeader& header);
// payload: the bytes after the header.
ParseResult parseGvspHeader(std::span<const uint8_t> packet, GvspHeader& header, std::span<const uint8_t>& payload);

struct ImageLeader {
  uint16_t fieldInfo = 0;  // reserved in progressive images
  uint16_t payloadType = kPayloadTypeImage;
  uint64_t timestamp = 0;  // device timestamp ticks
  uint32_t pixelFormat = kPixelMono8;
  uint32_t width = 0, height = 0, offsetX = 0, offsetY = 0;
  uint16_t paddingX = 0, paddingY = 0;
};
constexpr size_t kImageLeaderSize = 36;  // after the GVSP header

struct ImageTrailer {
  uint16_t payloadType = kPayloadTypeImage;
  uint32_t height = 0;
};
constexpr size_t kImageTrailerSize = 8;  // after the GVSP header

// Whole leader and trailer packets (header included, packet id 0 and
// trailerPacketId); return the bytes written, 0 when out is too small.
size_t writeImageLeader(std::span<uint8_t> out, uint64_t blockId, bool extendedId, const ImageLeader& leader);
size_t writeImageTrailer(std::span<uint8_t> out, uint64_t blockId, uint32_t trailerPacketId, bool extendedId,
                         const ImageTrailer& trailer);
// The bytes after the GVSP header of a leader or trailer packet. The leader
// must be an image leader (payload type 0x0001 or 0x4001, the latter with
// chunk data after the image).
ParseResult parseImageLeader(std::span<const uint8_t> payload, ImageLeader& leader);
ParseResult parseImageTrailer(std::span<const uint8_t> payload, ImageTrailer& trailer);

}  // namespace gevlink::wire
