#include "sim/gige/device.h"

#include <chrono>
#include <cstring>

namespace sim::gige {
namespace {

constexpr uint16_t kStatusSuccess = 0x0000;
constexpr uint16_t kStatusInvalidAddress = 0x8003;

int64_t steadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

uint16_t RegisterSpace::readMemory(uint32_t address, uint8_t* out, uint32_t length) {
  if (address % 4 != 0 || length % 4 != 0) return kStatusInvalidAddress;
  for (uint32_t i = 0; i < length; i += 4) {
    uint32_t value = 0;
    uint16_t status = readRegister(address + i, value);
    if (status != kStatusSuccess) return status;
    out[i] = static_cast<uint8_t>(value >> 24);
    out[i + 1] = static_cast<uint8_t>(value >> 16);
    out[i + 2] = static_cast<uint8_t>(value >> 8);
    out[i + 3] = static_cast<uint8_t>(value);
  }
  return kStatusSuccess;
}

uint16_t RegisterSpace::writeMemory(uint32_t address, const uint8_t* data, uint32_t length) {
  if (address % 4 != 0 || length % 4 != 0) return kStatusInvalidAddress;
  for (uint32_t i = 0; i < length; i += 4) {
    uint32_t value = (uint32_t{data[i]} << 24) | (uint32_t{data[i + 1]} << 16) |
                     (uint32_t{data[i + 2]} << 8) | data[i + 3];
    uint16_t status = writeRegister(address + i, value);
    if (status != kStatusSuccess) return status;
  }
  return kStatusSuccess;
}

TimestampClock::TimestampClock(uint64_t ticksPerSecond)
    : frequency_(ticksPerSecond == 0 ? 1'000'000'000 : ticksPerSecond), originNs_(steadyNs()) {}

uint64_t TimestampClock::now() const {
  const int64_t ns = steadyNs() - originNs_.load();
  if (ns <= 0) return 0;
  // ticks = ns * f / 1e9 without overflow for any run time of this process
  const auto u = static_cast<unsigned __int128>(ns) * frequency_ / 1'000'000'000u;
  return static_cast<uint64_t>(u);
}

void TimestampClock::reset() { originNs_.store(steadyNs()); }

}  // namespace sim::gige
