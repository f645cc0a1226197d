// Fuzzes the 3D reader from memory.
#include "viewer/cloud/fuzz/fuzz_common.h"
#include "viewer/cloud/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  cloudfuzz::readTwice(data, size, cloud::read3d);
  return 0;
}
