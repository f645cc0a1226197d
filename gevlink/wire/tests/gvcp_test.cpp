// GVCP packets compared with datagrams written by hand from the GigE Vision
// layouts, and malformed datagrams refused.
#include "gevlink/wire/gvcp.h"

#include <gtest/gtest.h>

#include "gevlink/wire/tests/hex.h"

namespace gevlink::wire {
namespace {

using test::cat;
using test::field;
using test::hex;

// A discovery acknowledge as a device of ours sends it.
std::vector<uint8_t> handDiscoveryAck() {
  return cat({hex("0000 0003 00f8 beef"),       // status, DISCOVERY_ACK, 248, ack_id
              hex("0001 0002 80000001"),        // version 1.2, mode big-endian UTF-8
              hex("0000 0211 2233 4455"),       // reserved, MAC 02:11:22:33:44:55
              hex("00000007 00000001"),         // IP options, current
              hex("000000000000000000000000"),  // reserved
              hex("7f000002"),                  // 127.0.0.2
              hex("000000000000000000000000"), hex("ff000000"), hex("000000000000000000000000"),
              hex("00000000"),  // gateway
              field("zelcam", 32), field("virtual head camera", 32), field("1.0", 32), field("sim/gige", 48),
              field("SN0000000000012", 16), field("0123456789abcdef", 16)});  // a name that fills its field
}

TEST(Gvcp, DiscoveryCommandAndAcknowledge) {
  EXPECT_EQ(encodeDiscoveryCmd(0x1234), hex("42 11 0002 0000 1234"));
  EXPECT_EQ(encodeDiscoveryCmd(1, false), hex("42 01 0002 0000 0001"));

  DiscoveryInfo info;
  info.versionMajor = 1;
  info.versionMinor = 2;
  info.deviceMode = 0x80000001;
  info.mac = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
  info.ipConfigOptions = 7;
  info.ipConfigCurrent = 1;
  info.ip = 0x7F000002;
  info.subnet = 0xFF000000;
  info.manufacturer = "zelcam";
  info.model = "virtual head camera";
  info.deviceVersion = "1.0";
  info.manufacturerInfo = "sim/gige";
  info.serialNumber = "SN0000000000012";
  info.userName = "0123456789abcdef";
  const auto hand = handDiscoveryAck();
  ASSERT_EQ(hand.size(), 256u);
  EXPECT_EQ(encodeDiscoveryAck(0xBEEF, info), hand);

  AckHeader ack;
  std::span<const uint8_t> payload;
  ASSERT_TRUE(parseAck(hand, ack, payload));
  EXPECT_EQ(ack.answer, kDiscoveryAck);
  EXPECT_EQ(ack.ackId, 0xBEEF);
  DiscoveryInfo got;
  ASSERT_TRUE(parseDiscoveryAck(payload, got));
  EXPECT_EQ(got.mac, info.mac);
  EXPECT_EQ(got.ip, 0x7F000002u);
  EXPECT_EQ(got.subnet, 0xFF000000u);
  EXPECT_EQ(got.deviceMode, 0x80000001u);
  EXPECT_EQ(got.model, "virtual head camera");
  EXPECT_EQ(got.userName, "0123456789abcdef");
  EXPECT_EQ(got.serialNumber, "SN0000000000012");
  // A name longer than its field is cut, never spills into the next one.
  info.manufacturer = std::string(40, 'M');
  auto cut = encodeDiscoveryAck(1, info);
  EXPECT_EQ(cut[8 + 0x48 + 31], 'M');
  EXPECT_EQ(cut[8 + 0x68], 'v');
}

TEST(Gvcp, RegisterAndMemoryAccess) {
  const uint32_t addresses[] = {0x00000A00, 0x00101004};
  EXPECT_EQ(encodeReadRegCmd(7, addresses), hex("42 01 0080 0008 0007  00000a00 00101004"));
  std::vector<uint32_t> gotAddresses;
  CommandHeader cmd;
  std::span<const uint8_t> payload;
  auto readReg = hex("42 01 0080 0008 0007  00000a00 00101004");
  ASSERT_TRUE(parseCommand(readReg, cmd, payload));
  EXPECT_EQ(cmd.command, kReadRegCmd);
  EXPECT_EQ(cmd.reqId, 7);
  ASSERT_TRUE(parseReadRegCmd(payload, gotAddresses));
  EXPECT_EQ(gotAddresses, std::vector<uint32_t>(std::begin(addresses), std::end(addresses)));

  const uint32_t values[] = {2, 0xFF960069};
  EXPECT_EQ(encodeReadRegAck(7, GEV_STATUS_SUCCESS, values), hex("0000 0081 0008 0007  00000002 ff960069"));
  EXPECT_EQ(encodeReadRegAck(8, GEV_STATUS_INVALID_ADDRESS, {}), hex("8003 0081 0000 0008"));

  const RegisterWrite writes[] = {{0x00300004, 0xFF960069}};
  EXPECT_EQ(encodeWriteRegCmd(9, writes), hex("42 01 0082 0008 0009  00300004 ff960069"));
  std::vector<RegisterWrite> gotWrites;
  auto writeReg = hex("42 01 0082 0010 0009  00000a00 00000002 00000d18 7f000001");
  ASSERT_TRUE(parseCommand(writeReg, cmd, payload));
  ASSERT_TRUE(parseWriteRegCmd(payload, gotWrites));
  ASSERT_EQ(gotWrites.size(), 2u);
  EXPECT_EQ(gotWrites[1].address, 0x0D18u);
  EXPECT_EQ(gotWrites[1].value, 0x7F000001u);
  EXPECT_EQ(encodeWriteRegAck(9, GEV_STATUS_ACCESS_DENIED, 1), hex("8006 0083 0004 0009  0000 0001"));
  uint16_t index = 0;
  AckHeader ack;
  auto writeRegAck = hex("8006 0083 0004 0009  0000 0001");
  ASSERT_TRUE(parseAck(writeRegAck, ack, payload));
  ASSERT_TRUE(parseWriteRegAck(payload, index));
  EXPECT_EQ(ack.status, GEV_STATUS_ACCESS_DENIED);
  EXPECT_EQ(index, 1);

  EXPECT_EQ(encodeReadMemCmd(10, 0x10000000, 512), hex("42 01 0084 0008 000a  10000000 0000 0200"));
  uint32_t address = 0;
  uint16_t count = 0;
  auto readMem = hex("42 01 0084 0008 000a  00000200 0000 0010");
  ASSERT_TRUE(parseCommand(readMem, cmd, payload));
  ASSERT_TRUE(parseReadMemCmd(payload, address, count));
  EXPECT_EQ(address, 0x200u);
  EXPECT_EQ(count, 16);
  const uint8_t text[] = {'L', 'o', 'c', 'a'};
  EXPECT_EQ(encodeReadMemAck(10, GEV_STATUS_SUCCESS, 0x200, text), hex("0000 0085 0008 000a  00000200 4c6f6361"));
  std::span<const uint8_t> data;
  auto readMemAck = hex("0000 0085 0008 000a  00000200 4c6f6361");
  ASSERT_TRUE(parseAck(readMemAck, ack, payload));
  ASSERT_TRUE(parseReadMemAck(payload, address, data));
  EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.end()), hex("4c6f6361"));

  const uint8_t name[] = {'1', '1', 0, 0};
  EXPECT_EQ(encodeWriteMemCmd(11, 0xE8, name), hex("42 01 0086 0008 000b  000000e8 31310000"));
  EXPECT_EQ(encodeWriteMemAck(11, GEV_STATUS_SUCCESS, 4), hex("0000 0087 0004 000b  0000 0004"));
  auto writeMem = hex("42 01 0086 0008 000b  000000e8 31320000");
  ASSERT_TRUE(parseCommand(writeMem, cmd, payload));
  ASSERT_TRUE(parseWriteMemCmd(payload, address, data));
  EXPECT_EQ(address, 0xE8u);
  EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.end()), hex("31320000"));
}

TEST(Gvcp, ForceIpResendPendingEvent) {
  ForceIp force;
  force.mac = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
  force.ip = 0x7F000005;
  force.subnet = 0xFF000000;
  const auto handForce =
      hex("42 01 0004 0038 0003"
          "0000 0211 22334455 000000000000000000000000"
          "7f000005 000000000000000000000000"
          "ff000000 000000000000000000000000"
          "00000000");
  EXPECT_EQ(encodeForceIpCmd(3, force), handForce);
  CommandHeader cmd;
  std::span<const uint8_t> payload;
  ForceIp got;
  ASSERT_TRUE(parseCommand(handForce, cmd, payload));
  ASSERT_TRUE(parseForceIpCmd(payload, got));
  EXPECT_EQ(got.mac, force.mac);
  EXPECT_EQ(got.ip, 0x7F000005u);

  PacketResend resend{0, 0x0102, 5, 9, false};
  const auto handResend = hex("42 00 0040 000c 0004  0000 0102 00000005 00000009");
  EXPECT_EQ(encodePacketResendCmd(4, resend), handResend);
  PacketResend gotResend;
  ASSERT_TRUE(parseCommand(handResend, cmd, payload));
  ASSERT_TRUE(parsePacketResendCmd(cmd.flags, payload, gotResend));
  EXPECT_EQ(gotResend.blockId, 0x0102u);
  EXPECT_EQ(gotResend.firstPacket, 5u);
  EXPECT_EQ(gotResend.lastPacket, 9u);
  // The reserved high byte of a 24-bit packet id is ignored.
  ASSERT_TRUE(parsePacketResendCmd(0, hex("0000 0102 ff000005 ff000009"), gotResend));
  EXPECT_EQ(gotResend.firstPacket, 5u);
  const auto handExtended = hex("42 10 0040 0014 0005  0001 0000 00000005 00000009 0000000100000002");
  EXPECT_EQ(encodePacketResendCmd(5, PacketResend{1, 0x100000002ull, 5, 9, true}), handExtended);
  ASSERT_TRUE(parseCommand(handExtended, cmd, payload));
  ASSERT_TRUE(parsePacketResendCmd(cmd.flags, payload, gotResend));
  EXPECT_TRUE(gotResend.extendedId);
  EXPECT_EQ(gotResend.blockId, 0x100000002ull);
  EXPECT_EQ(gotResend.channel, 1);

  EXPECT_EQ(encodePendingAck(6, 1000), hex("0000 0089 0004 0006  0000 03e8"));
  uint16_t ms = 0;
  ASSERT_TRUE(parsePendingAck(hex("0000 03e8"), ms));
  EXPECT_EQ(ms, 1000);

  const Event events[] = {{0x9001, 0, 0x0007, 0x0000000100000002ull}};
  const auto handEvent = hex("42 01 00c0 0010 0008  0000 9001 0000 0007 00000001 00000002");
  EXPECT_EQ(encodeEventCmd(8, events), handEvent);
  std::vector<Event> gotEvents;
  ASSERT_TRUE(parseCommand(handEvent, cmd, payload));
  ASSERT_TRUE(parseEventCmd(payload, gotEvents));
  ASSERT_EQ(gotEvents.size(), 1u);
  EXPECT_EQ(gotEvents[0].eventId, 0x9001);
  EXPECT_EQ(gotEvents[0].blockId, 7);
  EXPECT_EQ(gotEvents[0].timestamp, 0x100000002ull);
  EXPECT_EQ(encodeEventAck(8), hex("0000 00c1 0000 0008"));

  const auto handEventData = hex("42 01 00c2 0013 0009  0000 9002 0000 0008 00000000 00000010  616263");
  EXPECT_EQ(encodeEventDataCmd(9, EventData{{0x9002, 0, 8, 0x10}, {'a', 'b', 'c'}}), handEventData);
  EventData gotData;
  ASSERT_TRUE(parseCommand(handEventData, cmd, payload));
  ASSERT_TRUE(parseEventDataCmd(payload, gotData));
  EXPECT_EQ(gotData.event.eventId, 0x9002);
  EXPECT_EQ(gotData.event.timestamp, 0x10u);
  EXPECT_EQ(gotData.data, hex("616263"));
  EXPECT_FALSE(parseEventDataCmd(std::vector<uint8_t>(15, 0), gotData));
  EXPECT_EQ(encodeEventDataAck(9), hex("0000 00c3 0000 0009"));
}

TEST(Gvcp, MalformedDatagramsAreRefused) {
  CommandHeader cmd;
  AckHeader ack;
  std::span<const uint8_t> payload;
  EXPECT_FALSE(parseCommand(hex("42 01 0080 00"), cmd, payload));                  // short header
  EXPECT_FALSE(parseCommand(hex("43 01 0080 0004 0001 00000000"), cmd, payload));  // key
  EXPECT_FALSE(parseCommand(hex("42 01 0080 0008 0001 00000000"), cmd, payload));  // length > datagram
  EXPECT_FALSE(parseAck(hex("0000 0081 0008 0001 00000000"), ack, payload));
  // Padding after the declared length is ignored.
  auto padded = hex("42 01 0080 0004 0001 00000000 0000");
  ASSERT_TRUE(parseCommand(padded, cmd, payload));
  EXPECT_EQ(payload.size(), 4u);

  std::vector<uint32_t> addresses;
  EXPECT_FALSE(parseReadRegCmd({}, addresses));
  EXPECT_FALSE(parseReadRegCmd(hex("000000"), addresses));
  EXPECT_FALSE(parseReadRegCmd(hex("0000 0000 00"), addresses));
  EXPECT_FALSE(parseReadRegCmd(std::vector<uint8_t>(136 * 4, 0), addresses));
  EXPECT_TRUE(parseReadRegCmd(std::vector<uint8_t>(135 * 4, 0), addresses));
  std::vector<uint32_t> values;
  EXPECT_FALSE(parseReadRegAck(hex("000000"), values));
  std::vector<RegisterWrite> writes;
  EXPECT_FALSE(parseWriteRegCmd(hex("00000a00 00000002 0000"), writes));
  EXPECT_FALSE(parseWriteRegCmd(std::vector<uint8_t>(68 * 8, 0), writes));
  uint32_t address;
  uint16_t count;
  std::span<const uint8_t> data;
  EXPECT_FALSE(parseReadMemCmd(hex("00000200 0000 02"), address, count));
  EXPECT_FALSE(parseReadMemAck(hex("000002"), address, data));
  EXPECT_FALSE(parseWriteMemCmd(hex("000000e8"), address, data));
  uint16_t index;
  EXPECT_FALSE(parseWriteRegAck(hex("0000 00"), index));
  EXPECT_FALSE(parseWriteMemAck({}, index));
  DiscoveryInfo info;
  EXPECT_FALSE(parseDiscoveryAck(std::vector<uint8_t>(247, 0), info));
  ForceIp force;
  EXPECT_FALSE(parseForceIpCmd(std::vector<uint8_t>(55, 0), force));
  PacketResend resend;
  EXPECT_FALSE(parsePacketResendCmd(0, std::vector<uint8_t>(11, 0), resend));
  EXPECT_FALSE(parsePacketResendCmd(kFlagExtendedId, std::vector<uint8_t>(12, 0), resend));
  uint16_t ms;
  EXPECT_FALSE(parsePendingAck(hex("0000 03"), ms));
  std::vector<Event> events;
  EXPECT_FALSE(parseEventCmd(std::vector<uint8_t>(15, 0), events));
  EXPECT_FALSE(parseEventCmd(std::vector<uint8_t>(34 * 16, 0), events));
  EXPECT_STREQ(statusName(GEV_STATUS_WRITE_PROTECT), "GEV_STATUS_WRITE_PROTECT");
}

}  // namespace
}  // namespace gevlink::wire
