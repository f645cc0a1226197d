#include "camera/sdk/arv/gvcp_readmem.h"

#include <cstring>

namespace camera::sdk {
namespace {

constexpr std::uint8_t kCommandKey = 0x42;
constexpr std::uint8_t kAckRequested = 0x01;
constexpr std::uint16_t kReadMemCmd = 0x0084;
constexpr std::uint16_t kReadMemAck = 0x0085;
constexpr std::size_t kHeaderSize = 8;

void put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
void put32(std::uint8_t* p, std::uint32_t v) {
  put16(p, static_cast<std::uint16_t>(v >> 16));
  put16(p + 2, static_cast<std::uint16_t>(v));
}
std::uint16_t get16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
std::uint32_t get32(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(get16(p)) << 16) | get16(p + 2);
}

}  // namespace

std::array<std::uint8_t, kReadMemCommandSize> buildReadMemCommand(std::uint16_t requestId, std::uint32_t address,
                                                                   std::uint16_t count) {
  std::array<std::uint8_t, kReadMemCommandSize> cmd {};
  cmd[0] = kCommandKey;
  cmd[1] = kAckRequested;
  put16(&cmd[2], kReadMemCmd);
  put16(&cmd[4], 8);  // payload: address, 2 reserved bytes, count
  put16(&cmd[6], requestId);
  put32(&cmd[8], address);
  put16(&cmd[14], count);
  return cmd;
}

ReadMemAck parseReadMemAck(const std::uint8_t* packet, std::size_t size, std::uint16_t requestId,
                           std::uint32_t address, std::uint16_t count, std::uint8_t* data, std::uint16_t* status) {
  if (!packet || size < kHeaderSize) return ReadMemAck::NotOurs;
  if (get16(packet + 2) != kReadMemAck || get16(packet + 6) != requestId) return ReadMemAck::NotOurs;
  const std::uint16_t code = get16(packet);
  if (status) *status = code;
  if (code != 0) return ReadMemAck::Refused;
  const std::size_t length = get16(packet + 4);
  // The payload is the address echoed, then exactly the bytes asked for; the
  // datagram must hold all that the header claims.
  if (length != 4u + count || size < kHeaderSize + length) return ReadMemAck::Malformed;
  if (get32(packet + kHeaderSize) != address) return ReadMemAck::Malformed;
  if (count > 0) std::memcpy(data, packet + kHeaderSize + 4, count);
  return ReadMemAck::Ok;
}

std::string userNameFromRegister(const std::uint8_t* data, std::size_t size) {
  if (!data) return {};
  if (size > kUserNameLength) size = kUserNameLength;
  std::size_t n = 0;
  while (n < size && data[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(data), n);
}

}  // namespace camera::sdk
