// Fuzz target: the ground-truth file parser.
#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/scene/ground_truth.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sim::GroundTruth t;
  std::string error;
  sim::GroundTruth::parse(std::string(reinterpret_cast<const char*>(data), size), t, &error);
  return 0;
}
