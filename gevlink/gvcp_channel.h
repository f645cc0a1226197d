#pragma once
// The GVCP control channel to one device: commands matched to their
// acknowledges by request id, retried on silence, waiting longer on PENDING;
// register and memory access on top; unacknowledged commands (packet resend
// requests) on the same socket.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "gevlink/gev_transport.h"
#include "gevlink/udp_socket.h"
#include "gevlink/wire/gvcp.h"

namespace gevlink {

class GvcpChannel {
 public:
  // `fd` is bound to the PC interface; the device listens at `deviceAddress`
  // (network order) on the GVCP port. `options` must outlive the channel.
  GvcpChannel(Fd fd, uint32_t deviceAddress, const GevTransportOptions& options);

  // One command and its acknowledge, matched by request id; retried on
  // silence; a PENDING acknowledge extends the wait by the time it names.
  // `info` is the detail word of a failure.
  TransportResult transact(const std::function<wire::Bytes(uint16_t)>& encode, uint16_t ackCode,
                           wire::Bytes& ackPayload, uint32_t info);

  TransportResult readRegister(uint32_t address, uint32_t& value);
  TransportResult writeRegister(uint32_t address, uint32_t value);
  // Any byte range: READMEM and WRITEMEM move whole words, so the bytes
  // around the range are read and written back unchanged.
  TransportResult readMemory(uint32_t address, void* out, uint32_t length);
  TransportResult writeMemory(uint32_t address, const void* data, uint32_t length, uint32_t& written);
  // As many commands as the counts need; on failure `info` names the
  // register that failed and `written` counts those written before it.
  TransportResult readRegisters(const uint32_t* addresses, uint32_t* values, uint32_t count);
  TransportResult writeRegisters(const uint32_t* pairs, uint32_t count, uint32_t& written);
  // A read of the CCP register that keeps control: false when the device did
  // not answer in time.
  bool heartbeat();

  // A command that wants no acknowledge (PACKETRESEND), with ids of its own
  // so that they never match a pending transaction.
  void sendUnacknowledged(const wire::Bytes& command);
  uint16_t nextUnacknowledgedId();

 private:
  uint16_t nextId();
  Fd fd_;
  sockaddr_in device_;
  const GevTransportOptions& options_;
  std::mutex mutex_;
  uint16_t id_ = 0;
  std::atomic<uint32_t> resendId_{0x8000};
};

}  // namespace gevlink
