#pragma once
// Our GigE Vision transport over UDP: GVCP control (discovery, FORCEIP,
// register and memory access with retries and PENDING, control privilege
// with a heartbeat thread, event messages) and GVSP reception per stream
// channel into the caller's queued buffers, with packet resend. The
// transport keeps the table of open devices; the control channel, discovery,
// event messages and the stream channels live in parts of their own (see
// the README).
//
// The transport handle is a PC interface's IPv4 address (network byte
// order); every socket of a device is bound to it. On a loopback interface
// discovery asks 127.0.0.1..127.0.0.32 one by one and the loopback broadcast
// address; on another interface its subnet broadcast and 255.255.255.255.
#include <memory>

#include "gevlink/transport.h"

namespace gevlink {

struct GevTransportOptions {
  uint32_t commandTimeoutMs = 200;  // per try
  uint32_t commandRetries = 3;      // tries of one command
  uint32_t discoveryTimeoutMs = 500;
  uint32_t heartbeatPeriodMs = 1000;
  uint32_t frameTimeoutMs = 300;    // without packets, a frame is completed as incomplete
  uint32_t resendRounds = 3;        // PACKETRESEND requests per missing range
  int socketBufferBytes = 8 << 20;  // stream receive buffer (and packet ring)
  // Receive streams through a packet socket ring where the process may open
  // one (CAP_NET_RAW), else from the UDP socket.
  bool packetRing = true;
};

std::unique_ptr<Transport> makeGevTransport(const GevTransportOptions& options);

}  // namespace gevlink
