// Fuzzes the text rows reader from memory.
#include "viewer/cloud/fuzz/fuzz_common.h"
#include "viewer/cloud/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  cloudfuzz::readTwice(data, size, cloud::readTextRows);
  return 0;
}
