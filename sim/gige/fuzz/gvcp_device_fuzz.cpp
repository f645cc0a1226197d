// Feeds one datagram to a running Device as a GVCP command from a client on
// loopback: every command's handling (registers, memory, privilege, resend
// from a kept frame) must refuse bad counts and addresses without a fault.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "gevlink/wire/gvcp.h"
#include "gevlink/wire/gvsp.h"
#include "sim/gige/device.h"

namespace {

namespace wire = gevlink::wire;

class Registers : public sim::gige::RegisterSpace {
 public:
  uint16_t readRegister(uint32_t address, uint32_t& value) override {
    auto it = regs_.find(address);
    if (it == regs_.end()) return wire::GEV_STATUS_INVALID_ADDRESS;
    value = it->second;
    return wire::GEV_STATUS_SUCCESS;
  }
  uint16_t writeRegister(uint32_t address, uint32_t value) override {
    auto it = regs_.find(address);
    if (it == regs_.end()) return wire::GEV_STATUS_INVALID_ADDRESS;
    it->second = value;
    return wire::GEV_STATUS_SUCCESS;
  }

 private:
  std::map<uint32_t, uint32_t> regs_{{0x20000, 64}, {0x20004, 48}};
};

// Replies go to the discard port of loopback; nothing listens there.
constexpr uint32_t kClientIp = 0x7F000001;
constexpr uint16_t kClientPort = 9;

sim::gige::Device& device() {
  static Registers registers;
  static std::unique_ptr<sim::gige::Device> d = [] {
    sim::gige::DeviceConfig config;
    config.address = "127.0.0.1";
    config.gvcpPort = 0;
    const char xml[] = "<RegisterDescription/>";
    config.xmlFileName = "f.xml";
    config.xmlFile.assign(xml, xml + sizeof xml - 1);
    auto made = std::make_unique<sim::gige::Device>(config, registers);
    made->start();
    const wire::RegisterWrite setup[] = {{0x0D18, kClientIp}, {0x0D00, kClientPort}};
    auto cmd = wire::encodeWriteRegCmd(1, setup);
    made->handleDatagram(cmd.data(), cmd.size(), kClientIp, kClientPort);
    std::vector<uint8_t> image(64 * 48, 7);
    made->sendFrame(image.data(), 64, 48, wire::kPixelMono8);
    return made;
  }();
  return *d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  device().handleDatagram(data, size, kClientIp, kClientPort);
  return 0;
}
