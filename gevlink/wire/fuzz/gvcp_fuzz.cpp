// Feeds one datagram to every GVCP parser: as a command, as an acknowledge,
// and its payload to each command's and acknowledge's payload parser.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "gevlink/wire/bootstrap.h"
#include "gevlink/wire/gvcp.h"

using namespace gevlink::wire;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> in(data, size);
  CommandHeader cmd;
  AckHeader ack;
  std::span<const uint8_t> payload = in;
  uint8_t flags = size > 1 ? data[1] : 0;
  if (!parseCommand(in, cmd, payload)) {
    if (!parseAck(in, ack, payload)) payload = in;
  }
  std::vector<uint32_t> words;
  std::vector<RegisterWrite> writes;
  std::vector<Event> events;
  DiscoveryInfo info;
  ForceIp force;
  PacketResend resend;
  uint32_t address;
  uint16_t count, index, ms;
  std::span<const uint8_t> bytes;
  parseDiscoveryAck(payload, info);
  parseForceIpCmd(payload, force);
  parseReadRegCmd(payload, words);
  parseReadRegAck(payload, words);
  parseWriteRegCmd(payload, writes);
  parseWriteRegAck(payload, index);
  parseReadMemCmd(payload, address, count);
  if (parseReadMemAck(payload, address, bytes)) {
    XmlLocation location;
    parseXmlUrl(urlText(bytes), location);
  }
  parseWriteMemCmd(payload, address, bytes);
  parseWriteMemAck(payload, index);
  parsePacketResendCmd(flags, payload, resend);
  parsePendingAck(payload, ms);
  parseEventCmd(payload, events);
  return 0;
}
