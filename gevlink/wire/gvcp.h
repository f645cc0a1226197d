#pragma once
// GVCP, the GigE Vision control protocol (UDP port 3956), as pure functions
// over bytes: encoders build whole datagrams, parsers check every length and
// count before use and return an error text instead of reading past the end.
//
// Command datagram: 8-byte header (key 0x42, flags, command, payload length,
// req_id) + payload. Acknowledge: 8-byte header (status, answer, payload
// length, ack_id) + payload. All fields big-endian.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace gevlink::wire {

using Bytes = std::vector<uint8_t>;

// nullptr when the bytes were well formed, else a static text saying what was
// wrong ("READREG: length not a multiple of 4").
struct ParseResult {
  const char* error = nullptr;
  explicit operator bool() const { return error == nullptr; }
};

constexpr uint16_t kGvcpPort = 3956;
constexpr uint8_t kGvcpKey = 0x42;
constexpr size_t kGvcpHeaderSize = 8;
// Largest GVCP payload: a 576-byte datagram less IP (20), UDP (8) and GVCP (8).
constexpr size_t kGvcpMaxPayload = 540;
constexpr size_t kMaxReadRegCount = kGvcpMaxPayload / 4;   // 135 addresses
constexpr size_t kMaxWriteRegCount = kGvcpMaxPayload / 8;  // 67 pairs
constexpr size_t kMaxMemoryBlock = kGvcpMaxPayload - 4;    // 536 bytes after the address

// Command flags (second header byte).
constexpr uint8_t kFlagAckRequired = 0x01;
constexpr uint8_t kFlagAllowBroadcastAck = 0x10;  // DISCOVERY
constexpr uint8_t kFlagExtendedId = 0x10;         // PACKETRESEND: 64-bit block id

// Command and acknowledge codes.
constexpr uint16_t kDiscoveryCmd = 0x0002, kDiscoveryAck = 0x0003;
constexpr uint16_t kForceIpCmd = 0x0004, kForceIpAck = 0x0005;
constexpr uint16_t kPacketResendCmd = 0x0040;  // never acknowledged
constexpr uint16_t kReadRegCmd = 0x0080, kReadRegAck = 0x0081;
constexpr uint16_t kWriteRegCmd = 0x0082, kWriteRegAck = 0x0083;
constexpr uint16_t kReadMemCmd = 0x0084, kReadMemAck = 0x0085;
constexpr uint16_t kWriteMemCmd = 0x0086, kWriteMemAck = 0x0087;
constexpr uint16_t kPendingAck = 0x0089;
constexpr uint16_t kEventCmd = 0x00C0, kEventAck = 0x00C1;
constexpr uint16_t kEventDataCmd = 0x00C2, kEventDataAck = 0x00C3;
constexpr uint16_t kActionCmd = 0x0100, kActionAck = 0x0101;

// Status codes of acknowledges (and of GVSP packets).
constexpr uint16_t GEV_STATUS_SUCCESS = 0x0000;
constexpr uint16_t GEV_STATUS_PACKET_RESEND = 0x0100;
constexpr uint16_t GEV_STATUS_NOT_IMPLEMENTED = 0x8001;
constexpr uint16_t GEV_STATUS_INVALID_PARAMETER = 0x8002;
constexpr uint16_t GEV_STATUS_INVALID_ADDRESS = 0x8003;
constexpr uint16_t GEV_STATUS_WRITE_PROTECT = 0x8004;
constexpr uint16_t GEV_STATUS_BAD_ALIGNMENT = 0x8005;
constexpr uint16_t GEV_STATUS_ACCESS_DENIED = 0x8006;
constexpr uint16_t GEV_STATUS_BUSY = 0x8007;
constexpr uint16_t GEV_STATUS_LOCAL_PROBLEM = 0x8008;
constexpr uint16_t GEV_STATUS_MSG_MISMATCH = 0x8009;
constexpr uint16_t GEV_STATUS_INVALID_PROTOCOL = 0x800A;
constexpr uint16_t GEV_STATUS_NO_MSG = 0x800B;
constexpr uint16_t GEV_STATUS_PACKET_UNAVAILABLE = 0x800C;
constexpr uint16_t GEV_STATUS_DATA_OVERRUN = 0x800D;
constexpr uint16_t GEV_STATUS_INVALID_HEADER = 0x800E;
constexpr uint16_t GEV_STATUS_WRONG_CONFIG = 0x800F;
constexpr uint16_t GEV_STATUS_PACKET_NOT_YET_AVAILABLE = 0x8010;
constexpr uint16_t GEV_STATUS_PACKET_AND_PREV_REMOVED_FROM_MEMORY = 0x8011;
constexpr uint16_t GEV_STATUS_PACKET_REMOVED_FROM_MEMORY = 0x8012;
constexpr uint16_t GEV_STATUS_NO_REF_TIME = 0x8013;
constexpr uint16_t GEV_STATUS_PACKET_TEMPORARILY_UNAVAILABLE = 0x8014;
constexpr uint16_t GEV_STATUS_OVERFLOW = 0x8015;
constexpr uint16_t GEV_STATUS_ACTION_LATE = 0x8016;
constexpr uint16_t GEV_STATUS_ERROR = 0x8FFF;

// The status's name ("GEV_STATUS_ACCESS_DENIED"), "GEV_STATUS_UNKNOWN" else.
const char* statusName(uint16_t status);

struct CommandHeader {
  uint8_t flags = kFlagAckRequired;
  uint16_t command = 0;
  uint16_t length = 0;  // payload bytes after the header
  uint16_t reqId = 0;
};

struct AckHeader {
  uint16_t status = GEV_STATUS_SUCCESS;
  uint16_t answer = 0;
  uint16_t length = 0;  // payload bytes after the header
  uint16_t ackId = 0;
};

// Splits a command datagram: key 0x42, header complete, the length field not
// beyond the datagram (trailing bytes past it are ignored).
ParseResult parseCommand(std::span<const uint8_t> datagram, CommandHeader& header, std::span<const uint8_t>& payload);
ParseResult parseAck(std::span<const uint8_t> datagram, AckHeader& header, std::span<const uint8_t>& payload);

// A whole datagram: header (its length field = payload size) + payload.
// The payload must not exceed 65535 bytes (it is cut there).
Bytes encodeCommand(uint8_t flags, uint16_t command, uint16_t reqId, std::span<const uint8_t> payload = {});
Bytes encodeAck(uint16_t status, uint16_t answer, uint16_t ackId, std::span<const uint8_t> payload = {});

// ---- DISCOVERY ---------------------------------------------------------

constexpr size_t kDiscoveryRecordSize = 248;

// The discovery acknowledge's payload, the same fields as bootstrap registers
// 0x0000..0x00F7. Addresses and masks are host order (0x7F000002 = 127.0.0.2).
struct DiscoveryInfo {
  uint16_t versionMajor = 1, versionMinor = 2;
  uint32_t deviceMode = 0;
  std::array<uint8_t, 6> mac{};
  uint32_t ipConfigOptions = 0, ipConfigCurrent = 0;
  uint32_t ip = 0, subnet = 0, gateway = 0;
  std::string manufacturer;      // 32 bytes
  std::string model;             // 32
  std::string deviceVersion;     // 32
  std::string manufacturerInfo;  // 48
  std::string serialNumber;      // 16
  std::string userName;          // 16
};

Bytes encodeDiscoveryCmd(uint16_t reqId, bool allowBroadcastAck = true);
void writeDiscoveryRecord(const DiscoveryInfo& info, uint8_t* record /* 248 bytes */);
Bytes encodeDiscoveryAck(uint16_t ackId, const DiscoveryInfo& info);
// The payload of a DISCOVERY_ACK: at least 248 bytes.
ParseResult parseDiscoveryAck(std::span<const uint8_t> payload, DiscoveryInfo& info);

// ---- FORCEIP -----------------------------------------------------------

struct ForceIp {
  std::array<uint8_t, 6> mac{};
  uint32_t ip = 0, subnet = 0, gateway = 0;  // host order
};
constexpr size_t kForceIpPayloadSize = 56;
Bytes encodeForceIpCmd(uint16_t reqId, const ForceIp& force);
ParseResult parseForceIpCmd(std::span<const uint8_t> payload, ForceIp& force);

// ---- READREG / WRITEREG ------------------------------------------------

struct RegisterWrite {
  uint32_t address = 0;
  uint32_t value = 0;
};

Bytes encodeReadRegCmd(uint16_t reqId, std::span<const uint32_t> addresses);
// 1 to 135 addresses, 4 bytes each.
ParseResult parseReadRegCmd(std::span<const uint8_t> payload, std::vector<uint32_t>& addresses);
// On failure the values read before the failing address.
Bytes encodeReadRegAck(uint16_t ackId, uint16_t status, std::span<const uint32_t> values);
ParseResult parseReadRegAck(std::span<const uint8_t> payload, std::vector<uint32_t>& values);

Bytes encodeWriteRegCmd(uint16_t reqId, std::span<const RegisterWrite> writes);
// 1 to 67 pairs, 8 bytes each.
ParseResult parseWriteRegCmd(std::span<const uint8_t> payload, std::vector<RegisterWrite>& writes);
// index: the number of writes done (on failure, the index of the failing one).
Bytes encodeWriteRegAck(uint16_t ackId, uint16_t status, uint16_t index);
ParseResult parseWriteRegAck(std::span<const uint8_t> payload, uint16_t& index);

// ---- READMEM / WRITEMEM ------------------------------------------------

Bytes encodeReadMemCmd(uint16_t reqId, uint32_t address, uint16_t count);
// Layout only; alignment and the 536-byte limit are the device's to judge.
ParseResult parseReadMemCmd(std::span<const uint8_t> payload, uint32_t& address, uint16_t& count);
Bytes encodeReadMemAck(uint16_t ackId, uint16_t status, uint32_t address, std::span<const uint8_t> data);
// data points into payload.
ParseResult parseReadMemAck(std::span<const uint8_t> payload, uint32_t& address, std::span<const uint8_t>& data);

Bytes encodeWriteMemCmd(uint16_t reqId, uint32_t address, std::span<const uint8_t> data);
// data points into payload; at least 1 byte.
ParseResult parseWriteMemCmd(std::span<const uint8_t> payload, uint32_t& address, std::span<const uint8_t>& data);
// index: bytes written.
Bytes encodeWriteMemAck(uint16_t ackId, uint16_t status, uint16_t index);
ParseResult parseWriteMemAck(std::span<const uint8_t> payload, uint16_t& index);

// ---- PACKETRESEND ------------------------------------------------------

struct PacketResend {
  uint16_t channel = 0;
  uint64_t blockId = 0;                      // 16 bits unless extendedId
  uint32_t firstPacket = 0, lastPacket = 0;  // 24 bits unless extendedId
  bool extendedId = false;
};
// Flags: ack not required; kFlagExtendedId for the 20-byte form.
Bytes encodePacketResendCmd(uint16_t reqId, const PacketResend& resend);
// flags: the command header's flags (they say which form follows).
ParseResult parsePacketResendCmd(uint8_t flags, std::span<const uint8_t> payload, PacketResend& resend);

// ---- PENDING -----------------------------------------------------------

// Sent before the acknowledge of a command that takes longer than the
// client's time-out: the real acknowledge follows within timeToCompletionMs.
Bytes encodePendingAck(uint16_t ackId, uint16_t timeToCompletionMs);
ParseResult parsePendingAck(std::span<const uint8_t> payload, uint16_t& timeToCompletionMs);

// ---- EVENT -------------------------------------------------------------

struct Event {
  uint16_t eventId = 0;
  uint16_t channel = 0;
  uint16_t blockId = 0;
  uint64_t timestamp = 0;
};
constexpr size_t kEventSize = 16;
// 1 to 33 events (16 bytes each); EVENT is sent on the message channel.
Bytes encodeEventCmd(uint16_t reqId, std::span<const Event> events);
ParseResult parseEventCmd(std::span<const uint8_t> payload, std::vector<Event>& events);
Bytes encodeEventAck(uint16_t ackId);

// EVENTDATA: one event (the 16 bytes above) followed by up to 524 bytes of
// device-specific data.
struct EventData {
  Event event;
  std::vector<uint8_t> data;
};
Bytes encodeEventDataCmd(uint16_t reqId, const EventData& eventData);
ParseResult parseEventDataCmd(std::span<const uint8_t> payload, EventData& eventData);
Bytes encodeEventDataAck(uint16_t ackId);

}  // namespace gevlink::wire
