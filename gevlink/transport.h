#pragma once
// The transport under the GDev functions: what the device table needs of a
// GigE Vision stack. GevTransport is ours over UDP; tests plug in fakes.
// Every call returns a TransportResult: status 0 on success, else a system
// style status with two detail words (code, info) that reach the caller's
// GDevErrInfo unchanged.
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace gevlink {

struct TransportResult {
  uint32_t status = 0;
  uint32_t code = 0;
  uint32_t info = 0;
  bool ok() const { return status == 0; }
};

// A filled (or abandoned) buffer of one stream channel.
struct Completion {
  uint32_t status = 0;  // 0, or 1208 for a failed frame with code/info
  uint32_t kind = 0;    // GDEV_FRAME_* of a filled buffer, 0 otherwise
  uint32_t channel = 0;
  void* buffer = nullptr;  // null: a notification without buffer (frame top)
  uint32_t size = 0;
  uint32_t code = 0, info = 0;
};

// One device event (GVCP EVENT / EVENTDATA) or an error record.
struct EventRecord {
  uint32_t status = 0;  // 0: data valid; else an error with code/info
  uint32_t code = 0, info = 0;
  std::vector<uint8_t> data;
};

using DiscoveryAnswer = std::array<uint8_t, 256>;  // GVCP header + 248-byte payload

class Transport {
 public:
  virtual ~Transport() = default;
  virtual TransportResult enumerate(uint32_t interfaceAddress, std::vector<DiscoveryAnswer>& answers) = 0;
  virtual TransportResult forceIp(uint32_t interfaceAddress, const uint8_t mac[6], uint32_t ip, uint32_t mask,
                                  uint32_t gateway) = 0;
  virtual TransportResult open(uint32_t interfaceAddress, uint32_t deviceAddress, uint64_t& deviceId) = 0;
  virtual TransportResult close(uint64_t deviceId) = 0;
  virtual TransportResult takeControl(uint64_t deviceId, uint32_t privilege) = 0;
  virtual TransportResult releaseControl(uint64_t deviceId) = 0;
  virtual TransportResult readMemory(uint64_t deviceId, uint32_t address, void* out, uint32_t length) = 0;
  virtual TransportResult writeMemory(uint64_t deviceId, uint32_t address, const void* data, uint32_t length,
                                      uint32_t& written) = 0;
  virtual TransportResult readRegisters(uint64_t deviceId, const uint32_t* addresses, uint32_t* values,
                                        uint32_t count) = 0;
  virtual TransportResult writeRegisters(uint64_t deviceId, const uint32_t* pairs, uint32_t count,
                                         uint32_t& written) = 0;
  // Stream channels as (key, channel) pairs.
  virtual TransportResult listStreams(uint64_t deviceId, std::vector<std::pair<uint32_t, uint32_t>>& streams) = 0;
  virtual TransportResult queueBuffer(uint64_t deviceId, uint32_t channel, void* buffer, uint32_t size) = 0;
  virtual TransportResult flushBuffers(uint64_t deviceId, uint32_t channel) = 0;
  virtual TransportResult startStream(uint64_t deviceId, uint32_t channel, uint32_t parameter) = 0;
  virtual TransportResult stopStream(uint64_t deviceId, uint32_t channel) = 0;
  virtual TransportResult setFrameTopNotify(uint64_t deviceId, uint32_t channel, uint32_t setting) = 0;
  // Next completion of any channel within timeoutMs: status 1208 when none
  // came, 995 once the device's streaming was ended (endStreaming / close).
  virtual TransportResult waitCompletion(uint64_t deviceId, uint32_t timeoutMs, Completion& completion) = 0;
  virtual TransportResult endStreaming(uint64_t deviceId) = 0;
  // timeoutMs 0 = no limit; 995 after cancelEvent; 1460 on time-out.
  virtual TransportResult waitEvent(uint64_t deviceId, uint32_t timeoutMs, EventRecord& event) = 0;
  virtual TransportResult cancelEvent(uint64_t deviceId) = 0;
  virtual TransportResult lockBuffer(uint64_t deviceId, uint32_t channel, void* buffer) = 0;
  virtual TransportResult unlockBuffer(uint64_t deviceId, uint32_t channel, void* buffer) = 0;
  virtual TransportResult reAcquisition(uint64_t deviceId, uint32_t channel, uint32_t p1, uint32_t p2) = 0;
  virtual TransportResult getParam(uint64_t deviceId, uint32_t& value) = 0;
  virtual void version(uint32_t& minor, uint32_t& build) = 0;
};

}  // namespace gevlink
