#pragma once
// The GigE Vision bootstrap registers (byte addresses 0x0000..0x0FFF of every
// device) and the text of its GenICam URL registers.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "gevlink/wire/gvcp.h"

namespace gevlink::wire {

constexpr uint32_t kBootstrapSize = 0x1000;

// Identity; the same layout as the discovery record.
constexpr uint32_t kRegVersion = 0x0000;  // major << 16 | minor
constexpr uint32_t kRegDeviceMode = 0x0004;
constexpr uint32_t kRegMacHigh = 0x0008;  // low 16 bits: MAC bytes 0-1
constexpr uint32_t kRegMacLow = 0x000C;   // MAC bytes 2-5
constexpr uint32_t kRegIpConfigOptions = 0x0010;
constexpr uint32_t kRegIpConfigCurrent = 0x0014;
constexpr uint32_t kRegCurrentIp = 0x0024;
constexpr uint32_t kRegCurrentSubnet = 0x0034;
constexpr uint32_t kRegCurrentGateway = 0x0044;
constexpr uint32_t kRegManufacturerName = 0x0048;  // 32 bytes
constexpr uint32_t kRegModelName = 0x0068;         // 32
constexpr uint32_t kRegDeviceVersion = 0x0088;     // 32
constexpr uint32_t kRegManufacturerInfo = 0x00A8;  // 48
constexpr uint32_t kRegSerialNumber = 0x00D8;      // 16
constexpr uint32_t kRegUserDefinedName = 0x00E8;   // 16, writable
constexpr uint32_t kManufacturerNameSize = 32, kModelNameSize = 32, kDeviceVersionSize = 32, kManufacturerInfoSize = 48,
                   kSerialNumberSize = 16, kUserDefinedNameSize = 16;

// GenICam file location texts, zero-terminated.
constexpr uint32_t kRegFirstUrl = 0x0200;
constexpr uint32_t kRegSecondUrl = 0x0400;
constexpr uint32_t kUrlSize = 512;

constexpr uint32_t kRegNumberOfInterfaces = 0x0600;
constexpr uint32_t kRegPersistentIp = 0x064C;
constexpr uint32_t kRegPersistentSubnet = 0x065C;
constexpr uint32_t kRegPersistentGateway = 0x066C;
constexpr uint32_t kRegLinkSpeed = 0x0670;
constexpr uint32_t kRegNumberOfMessageChannels = 0x0900;
constexpr uint32_t kRegNumberOfStreamChannels = 0x0904;
constexpr uint32_t kRegNumberOfActionSignals = 0x0908;
constexpr uint32_t kRegGvspCapability = 0x092C;
constexpr uint32_t kRegMessageChannelCapability = 0x0930;
constexpr uint32_t kRegGvcpCapability = 0x0934;
constexpr uint32_t kRegHeartbeatTimeout = 0x0938;        // ms
constexpr uint32_t kRegTimestampFrequencyHigh = 0x093C;  // ticks per second, high word
constexpr uint32_t kRegTimestampFrequencyLow = 0x0940;
constexpr uint32_t kRegTimestampControl = 0x0944;    // write-only: reset, latch
constexpr uint32_t kRegTimestampValueHigh = 0x0948;  // the latched value
constexpr uint32_t kRegTimestampValueLow = 0x094C;
constexpr uint32_t kRegDiscoveryAckDelay = 0x0950;
constexpr uint32_t kRegGvcpConfiguration = 0x0954;
constexpr uint32_t kRegPendingTimeout = 0x0958;  // ms
constexpr uint32_t kRegControlSwitchoverKey = 0x095C;
constexpr uint32_t kRegCcp = 0x0A00;  // control channel privilege
constexpr uint32_t kRegPrimaryApplicationPort = 0x0A04;
constexpr uint32_t kRegPrimaryApplicationIp = 0x0A14;
constexpr uint32_t kRegMcp = 0x0B00;   // message channel port
constexpr uint32_t kRegMcda = 0x0B10;  // message channel destination
constexpr uint32_t kRegMctt = 0x0B14;
constexpr uint32_t kRegMcrc = 0x0B18;

// Stream channel n: these + n * 0x40.
constexpr uint32_t kRegScp0 = 0x0D00;    // host port (bits 15..0)
constexpr uint32_t kRegScps0 = 0x0D04;   // packet size (bits 15..0) incl. IP and UDP headers
constexpr uint32_t kRegScpd0 = 0x0D08;   // inter-packet delay, timestamp ticks
constexpr uint32_t kRegScda0 = 0x0D18;   // destination IPv4
constexpr uint32_t kRegScsp0 = 0x0D1C;   // source port (read-only)
constexpr uint32_t kRegScc0 = 0x0D20;    // capability
constexpr uint32_t kRegSccfg0 = 0x0D24;  // configuration
constexpr uint32_t kStreamChannelStride = 0x40;

// Register bits.
constexpr uint32_t kDeviceModeBigEndian = 0x80000000;
constexpr uint32_t kDeviceModeCharsetUtf8 = 0x00000001;
constexpr uint32_t kIpConfigPersistent = 0x1, kIpConfigDhcp = 0x2, kIpConfigLla = 0x4;
constexpr uint32_t kCcpExclusive = 0x1;
constexpr uint32_t kCcpControl = 0x2;
constexpr uint32_t kCcpSwitchoverEnable = 0x4;
constexpr uint32_t kTimestampControlReset = 0x1;
constexpr uint32_t kTimestampControlLatch = 0x2;
constexpr uint32_t kScpsFireTestPacket = 0x80000000;
constexpr uint32_t kScpsDoNotFragment = 0x40000000;
constexpr uint32_t kScpsBigEndian = 0x20000000;
constexpr uint32_t kScpsPacketSizeMask = 0x0000FFFF;
constexpr uint32_t kScpDirection = 0x80000000;
constexpr uint32_t kScpPortMask = 0x0000FFFF;
constexpr uint32_t kGvcpConfigHeartbeatDisable = 0x1;
// GVCP capability bits.
constexpr uint32_t kGvcpCapUserDefinedName = 0x80000000;
constexpr uint32_t kGvcpCapSerialNumber = 0x40000000;
constexpr uint32_t kGvcpCapHeartbeatDisable = 0x20000000;
constexpr uint32_t kGvcpCapPendingAck = 0x00000020;
constexpr uint32_t kGvcpCapEventData = 0x00000010;
constexpr uint32_t kGvcpCapEvent = 0x00000008;
constexpr uint32_t kGvcpCapPacketResend = 0x00000004;
constexpr uint32_t kGvcpCapWriteMem = 0x00000002;
constexpr uint32_t kGvcpCapConcatenation = 0x00000001;
constexpr uint32_t kGvspCapScsp = 0x80000000;  // the source port register exists

constexpr uint32_t kHeartbeatTimeoutDefaultMs = 3000;
constexpr uint32_t kHeartbeatTimeoutMinMs = 500;

// Where the GenICam file is, from a URL register's text.
struct XmlLocation {
  enum class Kind {
    Local,    // in device memory: name, address, length
    File,     // a path on the host: name
    Http,     // name is the whole URL
    Unknown,  // some other scheme or an empty register: nothing to fetch
  };
  Kind kind = Kind::Unknown;
  std::string name;
  uint32_t address = 0;
  uint32_t length = 0;
  bool zip = false;  // name ends in .zip / .ZIP (a zip archive holding the XML)
};

// The text of a URL register (512 bytes): up to the first zero byte.
std::string urlText(std::span<const uint8_t> registerBytes);

// Parses "Local:name;address;length" (hexadecimal, an optional 0x, and an
// optional "?SchemaVersion=..." after the length), "File:path" and
// "http:..." (case-sensitive schemes). The name or path must end in ".xml" or
// ".zip", all lower or all upper case; a Local address + length must fit in
// 32 bits and length must not be 0. Any other text is Kind::Unknown, not an
// error: no file is named.
ParseResult parseXmlUrl(std::string_view text, XmlLocation& location);

// "Local:<name>;<address hex>;<length hex>", as a device offers its file.
std::string localXmlUrl(std::string_view name, uint32_t address, uint32_t length);

}  // namespace gevlink::wire
