#pragma once
// A transport fake for the GDev layer: one device with a memory map (URL
// registers, the GenICam file, feature registers), two stream channels whose
// completions a test pushes, and a log of what the library asked for.
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "gevlink/transport.h"

namespace gevlink::testing {

// A small GenICam file: Width (0x10000), Height (0x10004), PayloadSize
// (0x10008), GevCCP (0x0A00, entries 0/1/2), AcquisitionStart (0x1000C),
// Broken (an address the fake refuses).
std::string smallGenicamXml();
// Bytes of a zip archive holding one file.
std::vector<uint8_t> zipOf(const std::string& name, const std::string& content);

class FakeTransport final : public Transport {
 public:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<DiscoveryAnswer> answers;
    std::map<uint32_t, uint8_t> memory;  // byte address -> value
    std::vector<uint32_t> refused;       // addresses whose access fails
    std::vector<uint32_t> reads;         // addresses of memory reads
    uint32_t privilege = 0;
    int opens = 0, closes = 0;
    std::deque<Completion> completions;
    bool ended = false, eventCancel = false;
    void putText(uint32_t address, const std::string& text, std::size_t size);
    void putBytes(uint32_t address, const void* data, std::size_t size);
    void putRegister(uint32_t address, uint32_t value);  // big-endian, as a device holds it
    void push(const Completion& c);
  };
  explicit FakeTransport(std::shared_ptr<State> state) : s_(std::move(state)) {}

  TransportResult enumerate(uint32_t, std::vector<DiscoveryAnswer>& answers) override;
  TransportResult forceIp(uint32_t, const uint8_t*, uint32_t, uint32_t, uint32_t) override { return {}; }
  TransportResult open(uint32_t, uint32_t, uint64_t& id) override;
  TransportResult close(uint64_t) override;
  TransportResult takeControl(uint64_t, uint32_t privilege) override;
  TransportResult releaseControl(uint64_t) override { return {}; }
  TransportResult readMemory(uint64_t, uint32_t address, void* out, uint32_t length) override;
  TransportResult writeMemory(uint64_t, uint32_t address, const void* data, uint32_t length,
                              uint32_t& written) override;
  TransportResult readRegisters(uint64_t, const uint32_t* addresses, uint32_t* values, uint32_t count) override;
  TransportResult writeRegisters(uint64_t, const uint32_t* pairs, uint32_t count, uint32_t& written) override;
  TransportResult listStreams(uint64_t, std::vector<std::pair<uint32_t, uint32_t>>& streams) override;
  TransportResult queueBuffer(uint64_t, uint32_t, void*, uint32_t) override { return {}; }
  TransportResult flushBuffers(uint64_t, uint32_t) override { return {}; }
  TransportResult startStream(uint64_t, uint32_t, uint32_t) override { return {}; }
  TransportResult stopStream(uint64_t, uint32_t) override { return {}; }
  TransportResult setFrameTopNotify(uint64_t, uint32_t, uint32_t) override { return {}; }
  TransportResult waitCompletion(uint64_t, uint32_t timeoutMs, Completion& c) override;
  TransportResult endStreaming(uint64_t) override;
  TransportResult waitEvent(uint64_t, uint32_t timeoutMs, EventRecord& e) override;
  TransportResult cancelEvent(uint64_t) override;
  TransportResult lockBuffer(uint64_t, uint32_t, void*) override { return {}; }
  TransportResult unlockBuffer(uint64_t, uint32_t, void*) override { return {}; }
  TransportResult reAcquisition(uint64_t, uint32_t, uint32_t, uint32_t) override { return {}; }
  TransportResult getParam(uint64_t, uint32_t& value) override {
    value = 3000;
    return {};
  }
  void version(uint32_t& minor, uint32_t& build) override {
    minor = 7;
    build = 42;
  }

 private:
  std::shared_ptr<State> s_;
};

}  // namespace gevlink::testing
