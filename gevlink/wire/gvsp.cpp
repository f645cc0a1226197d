#include "gevlink/wire/gvsp.h"

#include <cstring>

#include "gevlink/wire/byte_order.h"

namespace gevlink::wire {

// Standard: status 2, block id 2, EI bit + format 1, packet id 3.
// Extended: status 2, flags 2, EI bit + format 1, reserved 3, block id 8, packet id 4.
size_t writeGvspHeader(std::span<uint8_t> out, const GvspHeader& h) {
  const size_t size = h.extendedId ? kGvspExtendedHeaderSize : kGvspHeaderSize;
  if (out.size() < size) return 0;
  uint8_t* p = out.data();
  put16(p, h.status);
  p[4] = static_cast<uint8_t>((h.extendedId ? 0x80 : 0) | (h.format & 0x0F));
  if (h.extendedId) {
    put16(p + 2, 0);
    put24(p + 5, 0);
    put64(p + 8, h.blockId);
    put32(p + 16, h.packetId);
  } else {
    put16(p + 2, static_cast<uint16_t>(h.blockId));
    put24(p + 5, h.packetId);
  }
  return size;
}

ParseResult parseGvspHeader(std::span<const uint8_t> packet, GvspHeader& h, std::span<const uint8_t>& payload) {
  if (packet.size() < kGvspHeaderSize) return {"GVSP packet shorter than its 8-byte header"};
  const uint8_t* p = packet.data();
  h.status = get16(p);
  h.extendedId = (p[4] & 0x80) != 0;
  h.format = p[4] & 0x0F;
  if (h.extendedId) {
    if (packet.size() < kGvspExtendedHeaderSize) return {"GVSP extended-id packet shorter than its 20-byte header"};
    h.blockId = get64(p + 8);
    h.packetId = get32(p + 16);
    payload = packet.subspan(kGvspExtendedHeaderSize);
  } else {
    h.blockId = get16(p + 2);
    h.packetId = get24(p + 5);
    payload = packet.subspan(kGvspHeaderSize);
  }
  return {};
}

size_t writeImageLeader(std::span<uint8_t> out, uint64_t blockId, bool extendedId, const ImageLeader& l) {
  const size_t headerSize = writeGvspHeader(out, GvspHeader{GEV_STATUS_SUCCESS, blockId, kFormatLeader, 0, extendedId});
  if (headerSize == 0 || out.size() < headerSize + kImageLeaderSize) return 0;
  uint8_t* p = out.data() + headerSize;
  put16(p, l.fieldInfo);
  put16(p + 2, l.payloadType);
  put64(p + 4, l.timestamp);
  put32(p + 12, l.pixelFormat);
  put32(p + 16, l.width);
  put32(p + 20, l.height);
  put32(p + 24, l.offsetX);
  put32(p + 28, l.offsetY);
  put16(p + 32, l.paddingX);
  put16(p + 34, l.paddingY);
  return headerSize + kImageLeaderSize;
}

size_t writeImageTrailer(std::span<uint8_t> out, uint64_t blockId, uint32_t trailerPacketId, bool extendedId,
                         const ImageTrailer& t) {
  const size_t headerSize =
      writeGvspHeader(out, GvspHeader{GEV_STATUS_SUCCESS, blockId, kFormatTrailer, trailerPacketId, extendedId});
  if (headerSize == 0 || out.size() < headerSize + kImageTrailerSize) return 0;
  uint8_t* p = out.data() + headerSize;
  put16(p, 0);
  put16(p + 2, t.payloadType);
  put32(p + 4, t.height);
  return headerSize + kImageTrailerSize;
}

ParseResult parseImageLeader(std::span<const uint8_t> payload, ImageLeader& l) {
  if (payload.size() < 4) return {"GVSP leader without its payload type"};
  l.fieldInfo = get16(&payload[0]);
  l.payloadType = get16(&payload[2]);
  if ((l.payloadType & 0x3FFF) != kPayloadTypeImage) return {"GVSP leader of a payload type other than image"};
  if (payload.size() < kImageLeaderSize) return {"GVSP image leader shorter than 36 bytes"};
  const uint8_t* p = payload.data();
  l.timestamp = get64(p + 4);
  l.pixelFormat = get32(p + 12);
  l.width = get32(p + 16);
  l.height = get32(p + 20);
  l.offsetX = get32(p + 24);
  l.offsetY = get32(p + 28);
  l.paddingX = get16(p + 32);
  l.paddingY = get16(p + 34);
  return {};
}

ParseResult parseImageTrailer(std::span<const uint8_t> payload, ImageTrailer& t) {
  if (payload.size() < 4) return {"GVSP trailer without its payload type"};
  t.payloadType = get16(&payload[2]);
  t.height = 0;
  if ((t.payloadType & 0x3FFF) == kPayloadTypeImage) {
    if (payload.size() < kImageTrailerSize) return {"GVSP image trailer shorter than 8 bytes"};
    t.height = get32(&payload[4]);
  }
  return {};
}

}  // namespace gevlink::wire
