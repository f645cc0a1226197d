#pragma once
// Frame assembly of a stream channel: GVSP packets into the caller's queued
// buffers, resend requests for the packets missing, and frames handed to the
// device's completions when whole, overrun, gone quiet or abandoned. Called
// with the channel's mutex held.
#include <cstdint>
#include <span>

#include "gevlink/device.h"
#include "gevlink/stream_channel.h"
#include "gevlink/wire/gvsp.h"

namespace gevlink {

// One received GVSP packet. The payload lies either in the receive's scratch
// or already at its place in the frame buffer, where the receive aimed it:
// then nothing is copied. `truncated`: the datagram was longer than the room
// given to it, so its payload is larger than a packet of this stream may be.
void handlePacket(Device& dev, StreamChannel& ch, const wire::GvspHeader& h, std::span<const uint8_t> payload,
                  bool truncated, Clock::time_point now);
// Frames that went quiet: ask again for what is missing, then give up.
void checkTimeouts(Device& dev, StreamChannel& ch, const GevTransportOptions& o, Clock::time_point now);
// The device is lost: every frame being received goes out incomplete, once
// no receive call writes into it any more (`lock` holds the channel's mutex).
void abandonFrames(Device& dev, StreamChannel& ch, std::unique_lock<std::mutex>& lock);

}  // namespace gevlink
