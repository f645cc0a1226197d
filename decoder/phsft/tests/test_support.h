#pragma once
// Helpers shared by the decoder's tests.
#include "decoder/phsft/phsft_decoder.h"
#include "decoder/phsft/tests/reference_decoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace zel::test {

// Decodes with the optimised decoder and with the reference and expects equal
// bytes in every output. Returns the point count.
inline int expectBitExact(PhsftDecoder& dec, const PhsftParams& p, const ImagePair& images, const std::string& what) {
  PhsftOutput out;
  const int n = dec.exec(images, p.qEvec, out);
  const ReferenceResult ref =
      referenceDecode(dec.stereo(), dec.thresholds(), dec.width(), dec.height(), images, p.qEvec);
  EXPECT_EQ(n, ref.count) << what;
  if (n != ref.count) return n;
  if (n > 0) {
    EXPECT_EQ(0, std::memcmp(out.points.get(), ref.points.data(), 12 * static_cast<std::size_t>(n))) << what;
    EXPECT_EQ(0, std::memcmp(out.colors.get(), ref.colors.data(), 3 * static_cast<std::size_t>(n))) << what;
    EXPECT_EQ(0, std::memcmp(out.pixelIndices.get(), ref.pixelIndices.data(), 4 * static_cast<std::size_t>(n))) << what;
  }
  const auto& mask = dec.grid().mask;
  EXPECT_EQ(0, std::memcmp(mask.data(), ref.leftMask.data(), mask.size())) << what << ": final left mask";
  const auto& disp = dec.grid().disparity;
  EXPECT_EQ(0, std::memcmp(disp.data(), ref.disparity.data(), disp.size() * sizeof(double))) << what << ": disparity";
  return n;
}

}  // namespace zel::test
