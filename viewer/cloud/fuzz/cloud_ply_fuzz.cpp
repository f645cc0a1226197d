// Fuzzes the PLY reader (header, binary and ASCII bodies) from memory.
#include "viewer/cloud/fuzz/fuzz_common.h"
#include "viewer/cloud/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  cloudfuzz::readTwice(data, size, cloud::readPly);
  return 0;
}
