#pragma once
// The output arrays of a decoder's exec: owned by the decoder object, valid
// until its next exec or release. Shared by both decoders.
#include "decoder/common/point_output.h"

#include <cstdint>
#include <memory>

namespace zel {

struct DecoderOutput {
  std::unique_ptr<float[]> points;               // 3 * count: x, y, z
  std::unique_ptr<std::uint8_t[]> colors;        // 3 * count: grey three times
  std::unique_ptr<std::int32_t[]> pixelIndices;  // count: row * width + column, ascending
  std::int32_t count = 0;
  std::int32_t capacity = 0;  // entries the arrays hold

  void clear() {
    points.reset();
    colors.reset();
    pixelIndices.reset();
    count = 0;
    capacity = 0;
  }

  // Replaces the arrays by the count accepted points of grid (mask 0, row-major
  // order). False, arrays cleared, when count < 1 or the memory is not there.
  bool fill(const PointGrid& grid, int count, int threads);

  // Makes the arrays hold n entries for a point method to write directly
  // (PointGrid's direct output), count 0 until setCount. The previous
  // arrays are kept when they hold n entries and not over twice as many:
  // shot after shot, a decoder then pays no fresh pages (some 20 MB of page
  // faults and zeroing a shot). False, arrays cleared, when n < 1 or the
  // memory is not there.
  bool allocate(int n);
  void setCount(std::int32_t n) { count = n; }

  // The tail of a decoder's exec: n points were decoded; hands the arrays out
  // through the host's non-null pointers. Returns n, or 0 (nothing handed
  // out) when there is no point.
  std::int32_t handOut(std::int32_t n, float** pointsOut, std::uint8_t** colorsOut,
                       std::int32_t** pixelIndicesOut) const {
    if (n < 1) return 0;
    if (pointsOut != nullptr) *pointsOut = points.get();
    if (colorsOut != nullptr) *colorsOut = colors.get();
    if (pixelIndicesOut != nullptr) *pixelIndicesOut = pixelIndices.get();
    return n;
  }
};

}  // namespace zel
