#include "decoder/common/decoder_output.h"

#include <new>

namespace zel {

bool DecoderOutput::allocate(int n) {
  count = 0;
  if (n >= 1 && n <= capacity && capacity / 2 <= n) return true;
  clear();
  if (n < 1) return false;
  const std::size_t values = 3 * static_cast<std::size_t>(n);
  points.reset(new (std::nothrow) float[values]);
  colors.reset(new (std::nothrow) std::uint8_t[values]);
  pixelIndices.reset(new (std::nothrow) std::int32_t[n]);
  if (!points || !colors || !pixelIndices) {
    clear();
    return false;
  }
  capacity = n;
  return true;
}

bool DecoderOutput::fill(const PointGrid& grid, int n, int threads) {
  if (!allocate(n)) return false;
  collectPoints(grid, n, points.get(), colors.get(), pixelIndices.get(), threads);
  count = n;
  return true;
}

}  // namespace zel
