// A trace file as gevlink-trace reads it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "gevlink/trace_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text;
  gevlink::formatTrace(data, size, text);
  return 0;
}
