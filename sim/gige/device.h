#pragma once
// A GigE Vision device of the virtual head: GVCP on UDP port 3956 of one
// address (discovery, FORCEIP, register and memory access, control privilege
// with heartbeat, PENDING acks for slow accesses, PACKETRESEND from a small
// history) and one GVSP stream channel. The device itself serves the
// bootstrap registers (0x0000..0x0FFF: identity, user-defined name, first and
// second URL, CCP, heartbeat timeout, timestamp, stream channel 0) and the
// GenICam file; every other address goes to the device kind's RegisterSpace.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim::gige {

// The feature registers of a device kind (Width, TriggerMode, head
// registers, ...). Called on the device's GVCP thread, one access at a time.
// Addresses are byte addresses; register accesses are 4 bytes, big-endian
// on the wire (the device converts: value is host order here).
class RegisterSpace {
 public:
  virtual ~RegisterSpace() = default;
  // Returns a GVCP status code (0 = success; see gevlink/wire status codes:
  // invalid address, access denied, write protect, ...).
  virtual uint16_t readRegister(uint32_t address, uint32_t& value) = 0;
  virtual uint16_t writeRegister(uint32_t address, uint32_t value) = 0;
  // Memory reads and writes (READMEM/WRITEMEM) that fall outside the
  // bootstrap block and the GenICam file. Default: split into registers
  // when aligned, else invalid address.
  virtual uint16_t readMemory(uint32_t address, uint8_t* out, uint32_t length);
  virtual uint16_t writeMemory(uint32_t address, const uint8_t* data, uint32_t length);
  // True when a write at this address takes long enough (say > 50 ms) that
  // the device answers PENDING first, then the acknowledge.
  virtual bool isSlowWrite(uint32_t /*address*/) const { return false; }
};

// Timestamps shared by the devices of one head (GevTimestampControlReset on
// either resets both).
class TimestampClock {
 public:
  explicit TimestampClock(uint64_t ticksPerSecond = 1'000'000'000);
  uint64_t now() const;  // ticks since the last reset
  void reset();
  uint64_t frequency() const { return frequency_; }

 private:
  uint64_t frequency_;
  std::atomic<int64_t> originNs_;
};

struct DeviceIdentity {
  std::array<uint8_t, 6> mac{};
  std::string manufacturer;      // 32 bytes on the wire
  std::string model;             // 32
  std::string deviceVersion;     // 32
  std::string manufacturerInfo;  // 48
  std::string serialNumber;      // 16
  std::string userName;          // 16, DeviceUserID; writable by the client
};

struct DeviceConfig {
  std::string address = "127.0.0.2";  // IPv4 the GVCP socket is bound to
  uint16_t gvcpPort = 3956;
  DeviceIdentity identity;
  // The GenICam file as served through the first URL register:
  // "Local:<fileName>;<hex address>;<hex length>". A ".zip" name means the
  // bytes are a zip archive holding the XML.
  std::string xmlFileName;
  std::vector<uint8_t> xmlFile;
  std::shared_ptr<TimestampClock> clock;  // shared per head; made if null
  unsigned frameHistory = 4;              // frames kept for PACKETRESEND
};

// Faults injected for tests and for `zelsim serve`; may change at run time.
struct DeviceFaults {
  double packetLoss = 0.0;      // fraction of GVSP data packets not sent (resend still serves them)
  int ackDelayMs = 0;           // every GVCP acknowledge comes this late
  double incompleteFrames = 0;  // fraction of frames whose lost packets are also gone from the history
  bool vanished = false;        // the device answers nothing and streams nothing
};

struct DeviceCounters {
  uint64_t framesSent = 0, packetsSent = 0, packetsDropped = 0, packetsResent = 0;
  uint64_t gvcpCommands = 0, heartbeatTimeouts = 0;
};

class Device {
 public:
  Device(DeviceConfig config, RegisterSpace& features);
  ~Device();  // stops
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Binds the GVCP socket (address:3956, SO_REUSEADDR; discovery broadcasts
  // are received too) and starts the GVCP thread. False with a reason.
  bool start(std::string* error = nullptr);
  void stop();

  // Sends one Mono8 (or the pixel format given) image as a GVSP block on
  // stream channel 0 to the destination the client wrote (SCDA, SCP port),
  // with its packet size (SCPS) and inter-packet delay (SCPD, in timestamp
  // ticks). Returns false (nothing sent) when no destination is set or the
  // device is vanished. The block id counts 1, 2, ... (0 is never used).
  // Thread-safe; blocks until the last packet is sent.
  bool sendFrame(const uint8_t* image, uint32_t width, uint32_t height, uint32_t pixelFormat);

  // The application that holds control privilege (CCP); false after its
  // heartbeat timed out or it released control.
  bool hasController() const;
  void setFaults(const DeviceFaults& faults);
  DeviceCounters counters() const;
  const DeviceConfig& config() const;
  // Called (on the GVCP thread) when the client writes the stream
  // destination or packet size, or loses control: lets a kind stop an
  // acquisition whose controller vanished.
  void onControlLost(std::function<void()> callback);

  // Where the GenICam file lies in device memory (the "Local:" URL names
  // it); no kind uses addresses there.
  static constexpr uint32_t kXmlAddress = 0x10000000;
  // The UDP port GVCP listens on: config().gvcpPort, or the one the system
  // chose when that was 0 (tests that do not discover); 0 before start().
  uint16_t gvcpPort() const;
  // The user-defined name now (DeviceUserID; the client may rewrite it).
  std::string userName() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim::gige
