#include "gevlink/wire/gvcp.h"

#include <algorithm>

#include "gevlink/wire/byte_order.h"

namespace gevlink::wire {
namespace {

// Discovery payload offsets (the bootstrap register addresses, too).
constexpr size_t kOffVersion = 0x00, kOffMode = 0x04, kOffMacHigh = 0x0A;
constexpr size_t kOffIpOptions = 0x10, kOffIpCurrent = 0x14, kOffIp = 0x24, kOffSubnet = 0x34, kOffGateway = 0x44;
constexpr size_t kOffManufacturer = 0x48, kOffModel = 0x68, kOffVersionText = 0x88, kOffInfo = 0xA8, kOffSerial = 0xD8,
                 kOffUserName = 0xE8;

Bytes header(uint8_t b0, uint8_t b1, uint16_t code, uint16_t id, size_t payloadSize) {
  Bytes out(kGvcpHeaderSize);
  out[0] = b0;
  out[1] = b1;
  put16(&out[2], code);
  put16(&out[4], static_cast<uint16_t>(std::min<size_t>(payloadSize, 0xFFFF)));
  put16(&out[6], id);
  return out;
}

void append(Bytes& out, std::span<const uint8_t> payload) {
  out.insert(out.end(), payload.begin(),
             payload.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(payload.size(), 0xFFFF)));
}

}  // namespace

const char* statusName(uint16_t status) {
  switch (status) {
    case GEV_STATUS_SUCCESS: return "GEV_STATUS_SUCCESS";
    case GEV_STATUS_PACKET_RESEND: return "GEV_STATUS_PACKET_RESEND";
    case GEV_STATUS_NOT_IMPLEMENTED: return "GEV_STATUS_NOT_IMPLEMENTED";
    case GEV_STATUS_INVALID_PARAMETER: return "GEV_STATUS_INVALID_PARAMETER";
    case GEV_STATUS_INVALID_ADDRESS: return "GEV_STATUS_INVALID_ADDRESS";
    case GEV_STATUS_WRITE_PROTECT: return "GEV_STATUS_WRITE_PROTECT";
    case GEV_STATUS_BAD_ALIGNMENT: return "GEV_STATUS_BAD_ALIGNMENT";
    case GEV_STATUS_ACCESS_DENIED: return "GEV_STATUS_ACCESS_DENIED";
    case GEV_STATUS_BUSY: return "GEV_STATUS_BUSY";
    case GEV_STATUS_LOCAL_PROBLEM: return "GEV_STATUS_LOCAL_PROBLEM";
    case GEV_STATUS_MSG_MISMATCH: return "GEV_STATUS_MSG_MISMATCH";
    case GEV_STATUS_INVALID_PROTOCOL: return "GEV_STATUS_INVALID_PROTOCOL";
    case GEV_STATUS_NO_MSG: return "GEV_STATUS_NO_MSG";
    case GEV_STATUS_PACKET_UNAVAILABLE: return "GEV_STATUS_PACKET_UNAVAILABLE";
    case GEV_STATUS_DATA_OVERRUN: return "GEV_STATUS_DATA_OVERRUN";
    case GEV_STATUS_INVALID_HEADER: return "GEV_STATUS_INVALID_HEADER";
    case GEV_STATUS_WRONG_CONFIG: return "GEV_STATUS_WRONG_CONFIG";
    case GEV_STATUS_PACKET_NOT_YET_AVAILABLE: return "GEV_STATUS_PACKET_NOT_YET_AVAILABLE";
    case GEV_STATUS_PACKET_AND_PREV_REMOVED_FROM_MEMORY: return "GEV_STATUS_PACKET_AND_PREV_REMOVED_FROM_MEMORY";
    case GEV_STATUS_PACKET_REMOVED_FROM_MEMORY: return "GEV_STATUS_PACKET_REMOVED_FROM_MEMORY";
    case GEV_STATUS_NO_REF_TIME: return "GEV_STATUS_NO_REF_TIME";
    case GEV_STATUS_PACKET_TEMPORARILY_UNAVAILABLE: return "GEV_STATUS_PACKET_TEMPORARILY_UNAVAILABLE";
    case GEV_STATUS_OVERFLOW: return "GEV_STATUS_OVERFLOW";
    case GEV_STATUS_ACTION_LATE: return "GEV_STATUS_ACTION_LATE";
    case GEV_STATUS_ERROR: return "GEV_STATUS_ERROR";
    default: return "GEV_STATUS_UNKNOWN";
  }
}

ParseResult parseCommand(std::span<const uint8_t> datagram, CommandHeader& header, std::span<const uint8_t>& payload) {
  if (datagram.size() < kGvcpHeaderSize) return {"GVCP command shorter than its 8-byte header"};
  if (datagram[0] != kGvcpKey) return {"GVCP command without the key 0x42"};
  header.flags = datagram[1];
  header.command = get16(&datagram[2]);
  header.length = get16(&datagram[4]);
  header.reqId = get16(&datagram[6]);
  if (header.length > datagram.size() - kGvcpHeaderSize) return {"GVCP command length beyond the datagram"};
  payload = datagram.subspan(kGvcpHeaderSize, header.length);
  return {};
}

ParseResult parseAck(std::span<const uint8_t> datagram, AckHeader& header, std::span<const uint8_t>& payload) {
  if (datagram.size() < kGvcpHeaderSize) return {"GVCP acknowledge shorter than its 8-byte header"};
  header.status = get16(&datagram[0]);
  header.answer = get16(&datagram[2]);
  header.length = get16(&datagram[4]);
  header.ackId = get16(&datagram[6]);
  if (header.length > datagram.size() - kGvcpHeaderSize) return {"GVCP acknowledge length beyond the datagram"};
  payload = datagram.subspan(kGvcpHeaderSize, header.length);
  return {};
}

Bytes encodeCommand(uint8_t flags, uint16_t command, uint16_t reqId, std::span<const uint8_t> payload) {
  Bytes out = header(kGvcpKey, flags, command, reqId, payload.size());
  append(out, payload);
  return out;
}

Bytes encodeAck(uint16_t status, uint16_t answer, uint16_t ackId, std::span<const uint8_t> payload) {
  Bytes out = header(static_cast<uint8_t>(status >> 8), static_cast<uint8_t>(status), answer, ackId, payload.size());
  append(out, payload);
  return out;
}

// ---- DISCOVERY ----

Bytes encodeDiscoveryCmd(uint16_t reqId, bool allowBroadcastAck) {
  return encodeCommand(static_cast<uint8_t>(kFlagAckRequired | (allowBroadcastAck ? kFlagAllowBroadcastAck : 0)),
                       kDiscoveryCmd, reqId);
}

void writeDiscoveryRecord(const DiscoveryInfo& info, uint8_t* r) {
  std::fill(r, r + kDiscoveryRecordSize, uint8_t{0});
  put16(r + kOffVersion, info.versionMajor);
  put16(r + kOffVersion + 2, info.versionMinor);
  put32(r + kOffMode, info.deviceMode);
  std::copy(info.mac.begin(), info.mac.end(), r + kOffMacHigh);
  put32(r + kOffIpOptions, info.ipConfigOptions);
  put32(r + kOffIpCurrent, info.ipConfigCurrent);
  put32(r + kOffIp, info.ip);
  put32(r + kOffSubnet, info.subnet);
  put32(r + kOffGateway, info.gateway);
  putText(r + kOffManufacturer, 32, info.manufacturer);
  putText(r + kOffModel, 32, info.model);
  putText(r + kOffVersionText, 32, info.deviceVersion);
  putText(r + kOffInfo, 48, info.manufacturerInfo);
  putText(r + kOffSerial, 16, info.serialNumber);
  putText(r + kOffUserName, 16, info.userName);
}

Bytes encodeDiscoveryAck(uint16_t ackId, const DiscoveryInfo& info) {
  uint8_t record[kDiscoveryRecordSize];
  writeDiscoveryRecord(info, record);
  return encodeAck(GEV_STATUS_SUCCESS, kDiscoveryAck, ackId, record);
}

ParseResult parseDiscoveryAck(std::span<const uint8_t> payload, DiscoveryInfo& info) {
  if (payload.size() < kDiscoveryRecordSize) return {"DISCOVERY_ACK shorter than its 248-byte record"};
  const uint8_t* r = payload.data();
  info.versionMajor = get16(r + kOffVersion);
  info.versionMinor = get16(r + kOffVersion + 2);
  info.deviceMode = get32(r + kOffMode);
  std::copy(r + kOffMacHigh, r + kOffMacHigh + 6, info.mac.begin());
  info.ipConfigOptions = get32(r + kOffIpOptions);
  info.ipConfigCurrent = get32(r + kOffIpCurrent);
  info.ip = get32(r + kOffIp);
  info.subnet = get32(r + kOffSubnet);
  info.gateway = get32(r + kOffGateway);
  info.manufacturer = getText(r + kOffManufacturer, 32);
  info.model = getText(r + kOffModel, 32);
  info.deviceVersion = getText(r + kOffVersionText, 32);
  info.manufacturerInfo = getText(r + kOffInfo, 48);
  info.serialNumber = getText(r + kOffSerial, 16);
  info.userName = getText(r + kOffUserName, 16);
  return {};
}

// ---- FORCEIP ----
// reserved 2, MAC 6, reserved 12, IP 4, reserved 12, subnet 4, reserved 12, gateway 4.

Bytes encodeForceIpCmd(uint16_t reqId, const ForceIp& force) {
  uint8_t p[kForceIpPayloadSize] = {};
  std::copy(force.mac.begin(), force.mac.end(), p + 2);
  put32(p + 20, force.ip);
  put32(p + 36, force.subnet);
  put32(p + 52, force.gateway);
  return encodeCommand(kFlagAckRequired, kForceIpCmd, reqId, p);
}

ParseResult parseForceIpCmd(std::span<const uint8_t> payload, ForceIp& force) {
  if (payload.size() < kForceIpPayloadSize) return {"FORCEIP shorter than its 56-byte payload"};
  std::copy(payload.begin() + 2, payload.begin() + 8, force.mac.begin());
  force.ip = get32(&payload[20]);
  force.subnet = get32(&payload[36]);
  force.gateway = get32(&payload[52]);
  return {};
}

// ---- READREG / WRITEREG ----

Bytes encodeReadRegCmd(uint16_t reqId, std::span<const uint32_t> addresses) {
  Bytes p(addresses.size() * 4);
  for (size_t i = 0; i < addresses.size(); ++i) put32(&p[i * 4], addresses[i]);
  return encodeCommand(kFlagAckRequired, kReadRegCmd, reqId, p);
}

ParseResult parseReadRegCmd(std::span<const uint8_t> payload, std::vector<uint32_t>& addresses) {
  if (payload.empty()) return {"READREG without an address"};
  if (payload.size() % 4 != 0) return {"READREG length not a multiple of 4"};
  if (payload.size() / 4 > kMaxReadRegCount) return {"READREG with more than 135 addresses"};
  addresses.resize(payload.size() / 4);
  for (size_t i = 0; i < addresses.size(); ++i) addresses[i] = get32(&payload[i * 4]);
  return {};
}

Bytes encodeReadRegAck(uint16_t ackId, uint16_t status, std::span<const uint32_t> values) {
  Bytes p(values.size() * 4);
  for (size_t i = 0; i < values.size(); ++i) put32(&p[i * 4], values[i]);
  return encodeAck(status, kReadRegAck, ackId, p);
}

ParseResult parseReadRegAck(std::span<const uint8_t> payload, std::vector<uint32_t>& values) {
  if (payload.size() % 4 != 0) return {"READREG_ACK length not a multiple of 4"};
  values.resize(payload.size() / 4);
  for (size_t i = 0; i < values.size(); ++i) values[i] = get32(&payload[i * 4]);
  return {};
}

Bytes encodeWriteRegCmd(uint16_t reqId, std::span<const RegisterWrite> writes) {
  Bytes p(writes.size() * 8);
  for (size_t i = 0; i < writes.size(); ++i) {
    put32(&p[i * 8], writes[i].address);
    put32(&p[i * 8 + 4], writes[i].value);
  }
  return encodeCommand(kFlagAckRequired, kWriteRegCmd, reqId, p);
}

ParseResult parseWriteRegCmd(std::span<const uint8_t> payload, std::vector<RegisterWrite>& writes) {
  if (payload.empty()) return {"WRITEREG without an address-value pair"};
  if (payload.size() % 8 != 0) return {"WRITEREG length not a multiple of 8"};
  if (payload.size() / 8 > kMaxWriteRegCount) return {"WRITEREG with more than 67 pairs"};
  writes.resize(payload.size() / 8);
  for (size_t i = 0; i < writes.size(); ++i) {
    writes[i].address = get32(&payload[i * 8]);
    writes[i].value = get32(&payload[i * 8 + 4]);
  }
  return {};
}

// reserved 2, index 2: the acknowledge of WRITEREG and of WRITEMEM.
static Bytes indexAck(uint16_t answer, uint16_t ackId, uint16_t status, uint16_t index) {
  uint8_t p[4] = {};
  put16(p + 2, index);
  return encodeAck(status, answer, ackId, p);
}

static ParseResult parseIndex(std::span<const uint8_t> payload, uint16_t& index, const char* error) {
  if (payload.size() < 4) return {error};
  index = get16(&payload[2]);
  return {};
}

Bytes encodeWriteRegAck(uint16_t ackId, uint16_t status, uint16_t index) {
  return indexAck(kWriteRegAck, ackId, status, index);
}

ParseResult parseWriteRegAck(std::span<const uint8_t> payload, uint16_t& index) {
  return parseIndex(payload, index, "WRITEREG_ACK shorter than 4 bytes");
}

// ---- READMEM / WRITEMEM ----

Bytes encodeReadMemCmd(uint16_t reqId, uint32_t address, uint16_t count) {
  uint8_t p[8] = {};
  put32(p, address);
  put16(p + 6, count);
  return encodeCommand(kFlagAckRequired, kReadMemCmd, reqId, p);
}

ParseResult parseReadMemCmd(std::span<const uint8_t> payload, uint32_t& address, uint16_t& count) {
  if (payload.size() < 8) return {"READMEM shorter than its 8-byte payload"};
  address = get32(&payload[0]);
  count = get16(&payload[6]);
  return {};
}

Bytes encodeReadMemAck(uint16_t ackId, uint16_t status, uint32_t address, std::span<const uint8_t> data) {
  Bytes p(4 + data.size());
  put32(p.data(), address);
  std::copy(data.begin(), data.end(), p.begin() + 4);
  return encodeAck(status, kReadMemAck, ackId, p);
}

ParseResult parseReadMemAck(std::span<const uint8_t> payload, uint32_t& address, std::span<const uint8_t>& data) {
  if (payload.size() < 4) return {"READMEM_ACK without its address"};
  address = get32(&payload[0]);
  data = payload.subspan(4);
  return {};
}

Bytes encodeWriteMemCmd(uint16_t reqId, uint32_t address, std::span<const uint8_t> data) {
  Bytes p(4 + data.size());
  put32(p.data(), address);
  std::copy(data.begin(), data.end(), p.begin() + 4);
  return encodeCommand(kFlagAckRequired, kWriteMemCmd, reqId, p);
}

ParseResult parseWriteMemCmd(std::span<const uint8_t> payload, uint32_t& address, std::span<const uint8_t>& data) {
  if (payload.size() < 5) return {"WRITEMEM without an address and data"};
  address = get32(&payload[0]);
  data = payload.subspan(4);
  return {};
}

Bytes encodeWriteMemAck(uint16_t ackId, uint16_t status, uint16_t index) {
  return indexAck(kWriteMemAck, ackId, status, index);
}

ParseResult parseWriteMemAck(std::span<const uint8_t> payload, uint16_t& index) {
  return parseIndex(payload, index, "WRITEMEM_ACK shorter than 4 bytes");
}

// ---- PACKETRESEND ----
// Standard: channel 2, block id 2, first packet id 4 (24 bits), last 4.
// Extended: channel 2, reserved 2, first 4, last 4, block id 8.

Bytes encodePacketResendCmd(uint16_t reqId, const PacketResend& r) {
  uint8_t p[20] = {};
  put16(p, r.channel);
  if (r.extendedId) {
    put32(p + 4, r.firstPacket);
    put32(p + 8, r.lastPacket);
    put64(p + 12, r.blockId);
    return encodeCommand(kFlagExtendedId, kPacketResendCmd, reqId, std::span<const uint8_t>(p, 20));
  }
  put16(p + 2, static_cast<uint16_t>(r.blockId));
  put32(p + 4, r.firstPacket & 0xFFFFFF);
  put32(p + 8, r.lastPacket & 0xFFFFFF);
  return encodeCommand(0, kPacketResendCmd, reqId, std::span<const uint8_t>(p, 12));
}

ParseResult parsePacketResendCmd(uint8_t flags, std::span<const uint8_t> payload, PacketResend& r) {
  r.extendedId = (flags & kFlagExtendedId) != 0;
  if (payload.size() < (r.extendedId ? 20u : 12u)) return {"PACKETRESEND shorter than its payload"};
  r.channel = get16(&payload[0]);
  if (r.extendedId) {
    r.firstPacket = get32(&payload[4]);
    r.lastPacket = get32(&payload[8]);
    r.blockId = get64(&payload[12]);
  } else {
    r.blockId = get16(&payload[2]);
    r.firstPacket = get32(&payload[4]) & 0xFFFFFF;
    r.lastPacket = get32(&payload[8]) & 0xFFFFFF;
  }
  return {};
}

// ---- PENDING ----

Bytes encodePendingAck(uint16_t ackId, uint16_t timeToCompletionMs) {
  uint8_t p[4] = {};
  put16(p + 2, timeToCompletionMs);
  return encodeAck(GEV_STATUS_SUCCESS, kPendingAck, ackId, p);
}

ParseResult parsePendingAck(std::span<const uint8_t> payload, uint16_t& timeToCompletionMs) {
  if (payload.size() < 4) return {"PENDING_ACK shorter than 4 bytes"};
  timeToCompletionMs = get16(&payload[2]);
  return {};
}

// ---- EVENT ----
// Per event: reserved 2, event id 2, stream channel 2, block id 2, timestamp 8.

Bytes encodeEventCmd(uint16_t reqId, std::span<const Event> events) {
  Bytes p(events.size() * kEventSize);
  for (size_t i = 0; i < events.size(); ++i) {
    uint8_t* e = &p[i * kEventSize];
    put16(e + 2, events[i].eventId);
    put16(e + 4, events[i].channel);
    put16(e + 6, events[i].blockId);
    put64(e + 8, events[i].timestamp);
  }
  return encodeCommand(kFlagAckRequired, kEventCmd, reqId, p);
}

ParseResult parseEventCmd(std::span<const uint8_t> payload, std::vector<Event>& events) {
  if (payload.empty()) return {"EVENT without an event"};
  if (payload.size() % kEventSize != 0) return {"EVENT length not a multiple of 16"};
  if (payload.size() > kGvcpMaxPayload) return {"EVENT with more than 33 events"};
  events.resize(payload.size() / kEventSize);
  for (size_t i = 0; i < events.size(); ++i) {
    const uint8_t* e = &payload[i * kEventSize];
    events[i] = Event{get16(e + 2), get16(e + 4), get16(e + 6), get64(e + 8)};
  }
  return {};
}

Bytes encodeEventAck(uint16_t ackId) { return encodeAck(GEV_STATUS_SUCCESS, kEventAck, ackId); }

Bytes encodeEventDataCmd(uint16_t reqId, const EventData& e) {
  const size_t dataSize = std::min(e.data.size(), kGvcpMaxPayload - kEventSize);
  Bytes p(kEventSize + dataSize);
  put16(&p[2], e.event.eventId);
  put16(&p[4], e.event.channel);
  put16(&p[6], e.event.blockId);
  put64(&p[8], e.event.timestamp);
  std::copy(e.data.begin(), e.data.begin() + static_cast<std::ptrdiff_t>(dataSize), p.begin() + kEventSize);
  return encodeCommand(kFlagAckRequired, kEventDataCmd, reqId, p);
}

ParseResult parseEventDataCmd(std::span<const uint8_t> payload, EventData& e) {
  if (payload.size() < kEventSize) return {"EVENTDATA shorter than its 16-byte event"};
  if (payload.size() > kGvcpMaxPayload) return {"EVENTDATA longer than 540 bytes"};
  const uint8_t* p = payload.data();
  e.event = Event{get16(p + 2), get16(p + 4), get16(p + 6), get64(p + 8)};
  e.data.assign(payload.begin() + kEventSize, payload.end());
  return {};
}

Bytes encodeEventDataAck(uint16_t ackId) { return encodeAck(GEV_STATUS_SUCCESS, kEventDataAck, ackId); }

}  // namespace gevlink::wire
