#pragma once
// Register maps of the two device kinds of the live virtual head. Addresses
// are byte addresses in the device's register space; every register is 32
// bits, big-endian on the wire. The bootstrap block (0x0000..0x0FFF) is served
// by sim::gige::Device; the GenICam files of both kinds point the features
// DeviceUserID, GevSCPSPacketSize, GevSCPD, GevTimestampTickFrequency and
// GevTimestampControlReset at it.
#include <cstdint>

namespace sim::head {

// GVCP status codes the feature registers answer with.
inline constexpr uint16_t kStatusSuccess = 0x0000;
inline constexpr uint16_t kStatusInvalidParameter = 0x8002;  // a value the feature does not take
inline constexpr uint16_t kStatusInvalidAddress = 0x8003;
inline constexpr uint16_t kStatusWriteProtect = 0x8004;  // a read-only register
inline constexpr uint16_t kStatusAccessDenied = 0x8006;  // refused in the current state

// Bootstrap registers (GigE Vision) the XMLs refer to.
namespace bootstrap {
inline constexpr uint32_t kManufacturerName = 0x0048;  // 32 bytes
inline constexpr uint32_t kModelName = 0x0068;         // 32 bytes
inline constexpr uint32_t kDeviceVersion = 0x0088;     // 32 bytes
inline constexpr uint32_t kSerialNumber = 0x00D8;      // 16 bytes
inline constexpr uint32_t kUserDefinedName = 0x00E8;   // 16 bytes
inline constexpr uint32_t kTickFrequencyHigh = 0x093C;
inline constexpr uint32_t kTickFrequencyLow = 0x0940;
inline constexpr uint32_t kTimestampControl = 0x0944;  // write 1: reset
inline constexpr uint32_t kScpPort = 0x0D00;           // stream channel 0: host port (low 16 bits)
inline constexpr uint32_t kScps = 0x0D04;              // packet size in the low 16 bits
inline constexpr uint32_t kScpd = 0x0D08;              // inter-packet delay, timestamp ticks
inline constexpr uint32_t kScda = 0x0D18;              // destination address
}  // namespace bootstrap

// Kind "cameras": one camera per device.
namespace camreg {
inline constexpr uint32_t kBase = 0x00020000;
inline constexpr uint32_t kWidth = kBase + 0x00;            // RW, only the rendered width
inline constexpr uint32_t kHeight = kBase + 0x04;           // RW, only the rendered height
inline constexpr uint32_t kPixelFormat = kBase + 0x08;      // Mono8; Mono16 listed, refused
inline constexpr uint32_t kPayloadSize = kBase + 0x0C;      // RO, width * height
inline constexpr uint32_t kExposureTimeRaw = kBase + 0x10;  // microseconds
inline constexpr uint32_t kGainRaw = kBase + 0x14;          // percent (100 = x1)
inline constexpr uint32_t kTriggerSelector = kBase + 0x18;  // 0 FrameStart, 1 AcquisitionStart
inline constexpr uint32_t kTriggerMode = kBase + 0x1C;      // of the selected trigger: 0 Off, 1 On
inline constexpr uint32_t kTriggerSource = kBase + 0x20;    // of the selected trigger: 0 Software, 1 Line1, 2 Hardware
inline constexpr uint32_t kTriggerActivation = kBase + 0x24;  // of the selected trigger: 0 RisingEdge
inline constexpr uint32_t kAcquisitionMode = kBase + 0x28;    // 0 Continuous
inline constexpr uint32_t kAcquisitionStart = kBase + 0x2C;   // command: write 1
inline constexpr uint32_t kAcquisitionStop = kBase + 0x30;    // command: write 1
inline constexpr uint32_t kTriggerSoftware = kBase + 0x34;    // command: write 1
inline constexpr uint32_t kTLParamsLocked = kBase + 0x38;     // 0 or 1
inline constexpr uint32_t kEnd = kBase + 0x3C;

inline constexpr uint32_t kMono8 = 0x01080001;
inline constexpr uint32_t kMono16 = 0x01100007;
inline constexpr uint32_t kReferenceExposure = 10000;  // us: the rendered images' exposure
inline constexpr uint32_t kReferenceGain = 100;        // percent
inline constexpr uint32_t kMaxExposure = 1000000;
inline constexpr uint32_t kMaxGain = 1000;
enum TriggerSource : uint32_t { kSourceSoftware = 0, kSourceLine1 = 1, kSourceHardware = 2 };
}  // namespace camreg

// Kind "stereo head": one device, both images side by side.
namespace headreg {
inline constexpr uint32_t kStreamStart = 0x00100020;       // written with 0 when streaming starts
inline constexpr uint32_t kExposure = 0x00101004;          // microseconds
inline constexpr uint32_t kAnalogGain = 0x00101008;        // 0..3: x1, x2, x4, x8
inline constexpr uint32_t kGain = 0x0010100C;              // percent (100 = x1)
inline constexpr uint32_t kTrigger = 0x00101010;           // 0 stream continuously, 1 one frame per pattern shown
inline constexpr uint32_t kTransferMode = 0x00101014;      // stored, no effect
inline constexpr uint32_t kPixelClockDelay = 0x00101100;   // stored, no effect
inline constexpr uint32_t kFirmware = 0x00101110;          // RO: processor 1.4, logic 2.7
inline constexpr uint32_t kProjectorChannel = 0x00300004;  // serial channel to the head's projector
// GenICam-only features of the head.
inline constexpr uint32_t kWidth = 0x00102000;
inline constexpr uint32_t kHeight = 0x00102004;
inline constexpr uint32_t kPayloadSize = 0x00102008;
inline constexpr uint32_t kTLParamsLocked = 0x0010200C;
inline constexpr uint32_t kAcquisitionStart = 0x00102010;
inline constexpr uint32_t kAcquisitionStop = 0x00102014;

inline constexpr uint32_t kFirmwareVersion = 0x01040207;
inline constexpr uint32_t kReferenceExposure = 10000;
inline constexpr uint32_t kReferenceGain = 100;
inline constexpr uint32_t kMaxAnalogGain = 3;
}  // namespace headreg

}  // namespace sim::head
