#pragma once
// GVSP reception of one stream channel: its socket (and packet ring where
// the process may open one) and the thread that receives into the frames
// being assembled. Two paths: a TPACKET_V3 ring the kernel copies into, or
// recvmmsg with each payload aimed at its place in the frame buffer.
#include <cstdint>
#include <memory>

#include "gevlink/device.h"
#include "gevlink/stream_channel.h"

namespace gevlink {

// Stream channel `index` of a device reached through `interfaceAddress`
// (network order): a UDP socket with the receive buffer of the options and,
// for the first channels when the options allow, a packet ring. Null when
// the socket cannot be opened (`err` holds errno).
std::unique_ptr<StreamChannel> openStreamChannel(uint32_t interfaceAddress, uint32_t index,
                                                 const GevTransportOptions& options, int& err);
// The channel's receive thread: runs until the device's `stop`.
void receiveLoop(Device* dev, StreamChannel* ch);

}  // namespace gevlink
