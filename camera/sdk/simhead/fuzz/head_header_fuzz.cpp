// The published head's header as a simulated camera reads it: any bytes and
// any claimed object size must be refused or give sizes inside the object.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "camera/sdk/simhead/head_images.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace camera::sdk::simhead;
  if (size < 8) return 0;
  std::uint64_t objectSize;
  std::memcpy(&objectSize, data, sizeof objectSize);
  HeadHeader h;
  if (parseHeader(data + 8, size - 8, objectSize, &h)) {
    if (h.width <= 0 || h.height <= 0 || h.imageBytes != static_cast<std::uint64_t>(h.width) * h.height ||
        kHeaderSize + 2 * h.imageBytes > objectSize)
      __builtin_trap();
  }
  return 0;
}
