// Netpbm reader on arbitrary bytes: no crash, no allocation beyond the input.
#include <cstdint>
#include <cstdio>

#include "calibrix/netpbm.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::FILE* f = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  if (!f) return 0;
  calibrix::NetpbmImage image;
  if (calibrix::readNetpbm(f, image) &&
      image.data.size() != static_cast<std::size_t>(image.width) * image.height * image.channels)
    __builtin_trap();
  std::fclose(f);
  return 0;
}
