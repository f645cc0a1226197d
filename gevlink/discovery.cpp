#include "gevlink/discovery.h"

#include <cstring>

#include "gevlink/wire/byte_order.h"
#include "gevlink/wire/gvcp.h"

namespace gevlink {

bool discoveryAnswerFromDatagram(const uint8_t* datagram, std::size_t length, DiscoveryAnswer& answer) {
  wire::AckHeader h;
  std::span<const uint8_t> payload;
  wire::DiscoveryInfo info;
  if (!wire::parseAck({datagram, length}, h, payload) || h.answer != wire::kDiscoveryAck ||
      h.status != wire::GEV_STATUS_SUCCESS || !wire::parseDiscoveryAck(payload, info) ||
      payload.size() < wire::kDiscoveryRecordSize)
    return false;
  std::memcpy(answer.data(), datagram, wire::kGvcpHeaderSize);
  std::memcpy(answer.data() + wire::kGvcpHeaderSize, payload.data(), wire::kDiscoveryRecordSize);
  return true;
}

void toDeviceInfo(const DiscoveryAnswer& answer, DeviceInfo& d) {
  const uint8_t* p = answer.data() + wire::kGvcpHeaderSize;
  std::memset(&d, 0, sizeof d);
  d.specVersionMajor = wire::get16(p);
  d.specVersionMinor = wire::get16(p + 2);
  d.deviceMode = wire::get32(p + 4);
  std::memcpy(d.mac, p + 10, 6);
  d.ipConfigOptions = wire::get32(p + 16);
  d.ipConfigCurrent = wire::get32(p + 20);
  std::memcpy(&d.currentIp, p + 36, 4);
  std::memcpy(&d.currentSubnetMask, p + 52, 4);
  std::memcpy(&d.defaultGateway, p + 68, 4);
  std::memcpy(d.manufacturerName, p + 72, 32);
  std::memcpy(d.modelName, p + 104, 32);
  std::memcpy(d.deviceVersion, p + 136, 32);
  std::memcpy(d.manufacturerInfo, p + 168, 48);
  std::memcpy(d.serialNumber, p + 216, 16);
  std::memcpy(d.userDefinedName, p + 232, 16);
}

}  // namespace gevlink
