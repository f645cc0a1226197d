// The control file of `zelsim serve`: any text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/head/fault_control.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<sim::gige::DeviceFaults> faults(2);
  std::string error;
  if (sim::head::parseFaultControl(std::string(reinterpret_cast<const char*>(data), size), faults, &error)) {
    if (faults.size() != 2) std::abort();
    for (const auto& f : faults)
      if (f.packetLoss < 0 || f.packetLoss > 1 || f.incompleteFrames < 0 || f.incompleteFrames > 1 ||
          f.ackDelayMs < 0 || f.ackDelayMs > 10000)
        std::abort();
  } else if (error.empty()) {
    std::abort();
  }
  return 0;
}
