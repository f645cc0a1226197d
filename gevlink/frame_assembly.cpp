#include "gevlink/frame_assembly.h"

#include <algorithm>
#include <cstring>

#include "gevlink/wire/gvcp.h"

namespace gevlink {

using namespace wire;

namespace {

uint32_t bytesPerPixel(uint32_t pixelFormat) {
  uint32_t bits = (pixelFormat >> 16) & 0xFF;
  return bits ? (bits + 7) / 8 : 1;
}

// Hands the assembled (or abandoned) frame to the device's completions.
void finish(Device& dev, StreamChannel& ch, Assembly& a, uint32_t kind) {
  GDevFrameInfo& info = a.info;
  info.magic = GDEV_FRAME_INFO_MAGIC;
  info.kind = kind;
  info.channel = ch.index;
  info.blockId = uint32_t(a.blockId);
  info.payloadSize = a.payloadBytes;
  info.packetsExpected = a.dataPackets;
  info.packetsMissing = a.dataPackets > a.received ? a.dataPackets - a.received : 0;
  info.dataOffset = GDEV_FRAME_DATA_OFFSET;
  std::memcpy(a.buffer, &info, sizeof info);
  Completion c;
  c.kind = kind;
  c.channel = ch.index;
  c.buffer = a.buffer;
  c.size = a.size;
  if (kind == GDEV_FRAME_INCOMPLETE || kind == GDEV_FRAME_OVERRUN) {
    c.code = kind;
    c.info = info.packetsMissing;
  }
  ch.known[a.buffer] = {BufferState::Delivered, a.size};
  ch.finished[ch.finishedNext++ % ch.finished.size()] = a.blockId;
  a.active = false;
  dev.complete({}, c);
}

void requestResend(Device& dev, StreamChannel& ch, Assembly& a, uint32_t first, uint32_t last) {
  if (first > last || first == 0) return;
  PacketResend resend;
  resend.channel = uint16_t(ch.index);
  resend.blockId = a.blockId;
  resend.firstPacket = first;
  resend.lastPacket = last;
  dev.control->sendUnacknowledged(encodePacketResendCmd(dev.control->nextUnacknowledgedId(), resend));
}

// Asks again for every packet still missing up to `upTo`.
void requestMissing(Device& dev, StreamChannel& ch, Assembly& a, uint32_t upTo) {
  uint32_t first = 0;
  for (uint32_t id = 1; id <= upTo; ++id) {
    bool missing = id >= a.got.size() || !a.got[id];
    if (missing && !first) first = id;
    if (!missing && first) {
      requestResend(dev, ch, a, first, id - 1);
      first = 0;
    }
  }
  if (first) requestResend(dev, ch, a, first, upTo);
}

bool frameDone(const Assembly& a) { return a.trailer && a.received >= a.dataPackets; }

// A block newer than the last one started (16-bit ids wrap).
bool newerBlock(uint64_t id, uint64_t last, bool extended) {
  if (last == 0) return true;
  return extended ? id > last : int16_t(uint16_t(id) - uint16_t(last)) > 0;
}

Assembly* assemblyFor(Device& dev, StreamChannel& ch, const GvspHeader& h) {
  uint64_t blockId = h.blockId;
  for (Assembly& a : ch.assemblies)
    if (a.active && a.blockId == blockId) return &a;
  if (blockId == ch.lastDroppedBlock) return nullptr;
  for (uint64_t done : ch.finished)
    if (done == blockId) return nullptr;
  // Only a leader or a newer block begins a frame: an old block's stray
  // packet does not (a device that restarts its ids sends a leader first).
  if (h.format != kFormatLeader && !newerBlock(blockId, ch.lastStarted, h.extendedId)) return nullptr;
  if (ch.queued.empty()) {
    ch.lastDroppedBlock = blockId;  // no buffer: the frame is lost to us
    return nullptr;
  }
  Assembly* slot = nullptr;
  for (Assembly& a : ch.assemblies)
    if (!a.active) slot = &a;
  if (!slot) {
    slot = &ch.assemblies[0];
    for (Assembly& a : ch.assemblies)
      if (a.started < slot->started) slot = &a;
    finish(dev, ch, *slot, GDEV_FRAME_INCOMPLETE);
  }
  auto [buffer, size] = ch.queued.front();
  ch.queued.pop_front();
  ch.known[buffer] = {BufferState::Filling, size};
  Assembly& a = *slot;
  ch.lastStarted = blockId;
  a.active = true;
  a.blockId = blockId;
  a.buffer = buffer;
  a.size = size;
  a.info = {};
  a.leader = a.trailer = a.overrun = false;
  a.dataPackets = a.highest = a.received = a.requestedUpTo = a.resendRounds = a.payloadBytes = 0;
  std::fill(a.got.begin(), a.got.end(), 0);
  a.started = a.lastPacket = Clock::now();
  return &a;
}

}  // namespace

void handlePacket(Device& dev, StreamChannel& ch, const GvspHeader& h, std::span<const uint8_t> payload, bool truncated,
                  Clock::time_point now) {
  if (h.blockId == 0) return;
  if (h.status != GEV_STATUS_SUCCESS && h.status != GEV_STATUS_PACKET_RESEND) return;
  Assembly* a = assemblyFor(dev, ch, h);
  if (!a) return;
  a->lastPacket = now;
  uint32_t capacity = a->size > GDEV_FRAME_DATA_OFFSET ? a->size - GDEV_FRAME_DATA_OFFSET : 0;
  if (h.format == kFormatLeader) {
    ImageLeader leader;
    if (a->leader || !parseImageLeader(payload, leader)) return;
    a->leader = true;
    a->info.timestamp = leader.timestamp;
    a->info.pixelFormat = leader.pixelFormat;
    a->info.width = leader.width;
    a->info.height = leader.height;
    a->info.offsetX = leader.offsetX;
    a->info.offsetY = leader.offsetY;
    a->info.paddingX = leader.paddingX;
    a->info.paddingY = leader.paddingY;
    uint64_t expected = uint64_t(leader.width) * leader.height * bytesPerPixel(leader.pixelFormat);
    if (!a->trailer && ch.stride)
      a->dataPackets = uint32_t(std::min<uint64_t>((expected + ch.stride - 1) / ch.stride, 1u << 24));
    if (expected > capacity) a->overrun = true;
    if (ch.notifyTop) {
      Completion top;
      top.channel = ch.index;
      top.info = uint32_t(h.blockId);
      dev.complete({}, top);
    }
  } else if (h.format == kFormatPayload) {
    uint32_t id = h.packetId;
    if (id == 0 || !ch.stride) return;
    uint64_t offset = uint64_t(id - 1) * ch.stride;
    if (truncated || payload.size() > ch.stride || offset + payload.size() > capacity) {
      a->overrun = true;
      return;
    }
    if (id >= a->got.size()) a->got.resize(std::max<std::size_t>(id + 1, a->got.size() * 2), 0);
    if (a->got[id]) return;
    a->got[id] = 1;
    uint8_t* place = a->buffer + GDEV_FRAME_DATA_OFFSET + offset;
    if (payload.data() != place) std::memcpy(place, payload.data(), payload.size());
    ++a->received;
    a->payloadBytes += uint32_t(payload.size());
    // A packet that fills a hole (below the highest id seen) came back by resend.
    if (h.status == GEV_STATUS_PACKET_RESEND || id < a->highest) ++a->info.packetsResent;
    // A gap: ask for the packets skipped, once as they are noticed.
    if (id > a->highest + 1 && id - 1 > a->requestedUpTo) {
      requestResend(dev, ch, *a, std::max(a->highest, a->requestedUpTo) + 1, id - 1);
      a->requestedUpTo = id - 1;
    }
    a->highest = std::max(a->highest, id);
  } else if (h.format == kFormatTrailer) {
    if (a->trailer || h.packetId == 0) return;
    a->trailer = true;
    a->dataPackets = h.packetId - 1;
    if (a->received < a->dataPackets && a->requestedUpTo < a->dataPackets) {
      requestMissing(dev, ch, *a, a->dataPackets);
      a->requestedUpTo = a->dataPackets;
    }
  } else {
    return;
  }
  if (a->overrun) {
    finish(dev, ch, *a, GDEV_FRAME_OVERRUN);
    return;
  }
  if (frameDone(*a)) finish(dev, ch, *a, a->info.packetsResent ? GDEV_FRAME_RESENT : GDEV_FRAME_COMPLETE);
}

void checkTimeouts(Device& dev, StreamChannel& ch, const GevTransportOptions& o, Clock::time_point now) {
  for (Assembly& a : ch.assemblies) {
    if (!a.active) continue;
    auto quiet = std::chrono::duration_cast<std::chrono::milliseconds>(now - a.lastPacket).count();
    if (a.leader && a.received >= a.dataPackets && a.dataPackets > 0 && quiet > int64_t(o.frameTimeoutMs / 3)) {
      finish(dev, ch, a, a.info.packetsResent ? GDEV_FRAME_RESENT : GDEV_FRAME_COMPLETE);  // trailer lost
      continue;
    }
    if (quiet > int64_t(o.frameTimeoutMs)) {
      finish(dev, ch, a, GDEV_FRAME_INCOMPLETE);
      continue;
    }
    if (quiet > int64_t(o.frameTimeoutMs / (o.resendRounds + 1)) * (a.resendRounds + 1) &&
        a.resendRounds < o.resendRounds && a.dataPackets) {
      ++a.resendRounds;
      requestMissing(dev, ch, a, a.dataPackets);
    }
  }
}

void abandonFrames(Device& dev, StreamChannel& ch, std::unique_lock<std::mutex>& lock) {
  // `lost` keeps new receives from aiming at these frames; the one out may
  // still write into them until it returns.
  ch.waitReceiveSettled(lock);
  for (Assembly& a : ch.assemblies)
    if (a.active) finish(dev, ch, a, GDEV_FRAME_INCOMPLETE);
}

}  // namespace gevlink
