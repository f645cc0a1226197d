// The text of a device's URL register, as the device sends it.
#include <cstddef>
#include <cstdint>

#include "gevlink/xml_location.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  gevlink::XmlLocation loc = gevlink::parseXmlLocation(reinterpret_cast<const char*>(data), size);
  if (loc.valid && loc.kind == gevlink::XmlLocation::kLocal &&
      (loc.length == 0 || loc.length > gevlink::kMaxLocalXmlLength))
    __builtin_trap();
  return 0;
}
