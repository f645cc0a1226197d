#include "decoder/phsft/phase_stage.h"
#include "decoder/phsft/tests/reference_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace zel {
namespace {

// One camera's filed images of width x height, set pixel by pixel.
struct Planes {
  int w, h;
  CameraPlanes c;
  std::vector<std::uint8_t> grayPlanes;  // 7 planes, black-corrected
  Planes(int width, int height) : w(width), h(height) {
    c.allocate(static_cast<std::size_t>(w) * h);
    grayPlanes.assign(plane() * 7, 0);
    for (int i = 0; i < w * h; ++i) {
      c.black[i] = 20;
      c.white[i] = 200;
    }
  }
  std::size_t plane() const { return static_cast<std::size_t>(w) * h; }
  std::uint8_t& gray(int i, int x, int y = 0) { return grayPlanes[i * plane() + y * w + x]; }
  std::uint8_t& fringe(int k, int x, int y = 0) { return c.fringe[k * plane() + y * w + x]; }
  // Files the Gray planes as the decoder does (raw value = corrected + black)
  // and runs the phase stage.
  void run(const Thresholds& t) {
    std::vector<std::uint8_t> raw(plane());
    for (int i = 0; i < 7; ++i) {
      for (std::size_t p = 0; p < plane(); ++p) {
        const int corrected = grayPlanes[i * plane() + p];
        // A corrected 0 stands for any raw value up to black: use black itself.
        raw[p] = static_cast<std::uint8_t>(std::min(255, corrected + c.black[p]));
      }
      foldGrayPlane(c, raw.data(), i, 0, plane());
    }
    for (int y = 0; y < h; ++y) computePhaseRow(c, w, h, y, t);
  }
  test::FiledImages filed() const {
    test::FiledImages f;
    f.width = w;
    f.height = h;
    f.black = c.black;
    f.white = c.white;
    for (int i = 0; i < 7; ++i)
      f.gray[i].assign(grayPlanes.begin() + i * plane(), grayPlanes.begin() + (i + 1) * plane());
    for (int k = 0; k < 4; ++k) {
      f.fringe[k].resize(plane());
      for (std::size_t p = 0; p < plane(); ++p) f.fringe[k][p] = c.fringe[k * plane() + p];
    }
    return f;
  }
};

TEST(PhaseStage, MaskContrastBrightnessAndBorders) {
  Planes p(20, 1);
  p.c.white[6] = 250, p.c.black[6] = 245;  // difference 5 < 10
  p.c.white[7] = 255, p.c.black[7] = 245;  // difference 10: valid
  p.c.white[8] = 5, p.c.black[8] = 25;     // black above white by 20: contrast counts its size
  p.c.white[9] = 8, p.c.black[9] = 20;     // contrast 12, but below darkness 10
  p.c.white[10] = 240, p.c.black[10] = 0;  // above a lowered brightness
  Thresholds t;
  t.darkness = 5;
  p.run(t);
  EXPECT_EQ(p.c.mask[6], kMaskContrast);
  EXPECT_EQ(p.c.mask[7], 0);
  EXPECT_EQ(p.c.mask[8], 0);
  EXPECT_EQ(p.c.mask[9], 0);
  t.darkness = 10;
  t.brightness = 230;
  p.run(t);
  EXPECT_EQ(p.c.mask[9], kMaskContrast);
  EXPECT_EQ(p.c.mask[10], kMaskContrast);
  EXPECT_EQ(p.c.mask[11], 0);
  for (int x : {0, 1, 2, 3, 4, 15, 16, 17, 18, 19}) EXPECT_EQ(p.c.mask[x], kMaskBorder) << x;
  EXPECT_EQ(p.c.mask[5], 0);
  EXPECT_EQ(p.c.mask[14], 0);
}

TEST(PhaseStage, GrayCodeThresholdAndBinaryValue) {
  Planes p(20, 1);
  // Black above white by 20: the 8-bit difference wraps, threshold (256 - 20) / 2 = 118.
  p.c.white[6] = 5, p.c.black[6] = 25;
  p.gray(0, 6) = 119;  // above 118: bit 64
  p.gray(1, 6) = 118;  // not above
  // All planes above the threshold (200 - 20) / 2 = 90: Gray 127, binary 85.
  for (int i = 0; i < 7; ++i) p.gray(i, 7) = 91;
  // Gray 2 (bit value 2 = plane 5) is binary 3.
  p.gray(5, 8) = 200;
  p.run(Thresholds{});
  EXPECT_EQ(p.c.code[6], grayToBinary(64));
  EXPECT_EQ(grayToBinary(64), 127);
  EXPECT_EQ(p.c.code[7], 85);
  EXPECT_EQ(grayToBinary(2), 3);
  // Codes are computed for masked pixels too (the border here).
  p.gray(5, 1) = 200;
  p.run(Thresholds{});
  EXPECT_EQ(p.c.code[1], 3);
}

TEST(PhaseStage, WrappedAndAbsolutePhase) {
  Planes p(20, 1);
  for (int x = 0; x < 20; ++x) {
    for (int k = 0; k < 4; ++k) p.fringe(k, x) = 100;  // all equal: atan2(0, 0) = 0, finite
  }
  p.fringe(1, 9) = 150;  // F3 - F1 = -50, F2 - F0 = 0: -pi/2
  p.gray(5, 9) = 200;    // Gray 2: code 3
  p.run(Thresholds{});
  EXPECT_EQ(p.c.mask[8], 0);
  EXPECT_EQ(p.c.phase[8], 0.0);
  EXPECT_EQ(p.c.code[9], 3);
  EXPECT_EQ(p.c.phase[9], 3 * M_PI * 2 + std::atan2(-50.0, 0.0));
  EXPECT_NEAR(p.c.phase[9], 6 * M_PI - M_PI / 2, 1e-12);
  for (int dy = -255; dy <= 255; ++dy) {
    for (int dx = -255; dx <= 255; ++dx) ASSERT_EQ(wrappedPhase(dy, dx), std::atan2(double(dy), double(dx)));
  }
}

// Random rows full of code/phase edge misalignments, checked against the
// direct implementation (both alignment passes included).
TEST(PhaseStage, EqualsReferenceOnRandomRows) {
  std::mt19937 rng(5);
  for (int trial = 0; trial < 20; ++trial) {
    const int w = 40 + trial * 3, h = 3;
    Planes p(w, h);
    std::uniform_int_distribution<int> any(0, 255);
    const double period = 6 + trial % 5;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const int i = y * w + x;
        p.c.black[i] = static_cast<std::uint8_t>(any(rng) % 40);
        p.c.white[i] = static_cast<std::uint8_t>(150 + any(rng) % 100);
        if (any(rng) < 10) p.c.white[i] = p.c.black[i];
        // Projector column with jitter: codes and phases step near each other.
        const double u = x / period * 8 + (any(rng) - 128) / 200.0;
        const int c = std::max(0, static_cast<int>(u / 8));
        const int g = c ^ (c >> 1);
        for (int b = 0; b < 7; ++b) p.gray(b, x, y) = ((g >> (6 - b)) & 1) ? 150 : 0;
        const double phi = 2 * M_PI * std::fmod(u + 0.3 * (any(rng) - 128) / 128.0 + 8, 8.0) / 8 - M_PI;
        for (int k = 0; k < 4; ++k) {
          const int v = static_cast<int>(std::lround(120 - 100 * std::cos(phi - k * M_PI / 2))) + any(rng) % 25 - 12;
          p.fringe(k, x, y) = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
        }
      }
    }
    Thresholds t;
    t.stepDiff = 0.8 + 0.1 * (trial % 6);
    const test::FiledImages f = p.filed();
    p.run(t);
    std::vector<std::uint8_t> mask, code;
    std::vector<double> phase;
    test::referencePhase(f, t, mask, code, phase);
    ASSERT_EQ(mask, p.c.mask) << trial;
    ASSERT_EQ(code, p.c.code) << trial;
    ASSERT_EQ(0, std::memcmp(phase.data(), p.c.phase.data(), phase.size() * sizeof(double))) << trial;
  }
}

TEST(PhaseStage, ForwardAlignmentMovesTheCodeStep) {
  Planes p(20, 1);
  // Code steps 4 -> 5 at x 10 while the phase is still high (2.5 > 1.2): the
  // code of 10 and 11 is pulled back to 4.
  auto setCode = [&](int x, int code) {
    int g = code ^ (code >> 1);
    for (int b = 0; b < 7; ++b) p.gray(b, x) = ((g >> (6 - b)) & 1) ? 150 : 0;
  };
  auto setPhase = [&](int x, double phi) {
    for (int k = 0; k < 4; ++k)
      p.fringe(k, x) = static_cast<std::uint8_t>(std::lround(120 - 100 * std::cos(phi - k * M_PI / 2)));
  };
  for (int x = 0; x < 20; ++x) {
    setCode(x, x < 10 ? 4 : 5);
    setPhase(x, x < 12 ? 2.5 : -2.9);
  }
  p.run(Thresholds{});
  EXPECT_EQ(p.c.code[9], 4);
  EXPECT_EQ(p.c.code[10], 4);
  EXPECT_EQ(p.c.code[11], 4);
  EXPECT_EQ(p.c.code[12], 5);
}

// A depth edge where the phase jumps without wrapping in the same column as a
// +1 code step: the alignment moves the step by at most two pixels and does
// not push it on column after column to the next wrap (which would give a
// whole period the neighbouring code). Forward pass, then the mirrored
// backward case; the reference agrees.
TEST(PhaseStage, AlignmentMovesAStepAtMostTwoPixels) {
  auto setCode = [](Planes& p, int x, int code) {
    const int g = code ^ (code >> 1);
    for (int b = 0; b < 7; ++b) p.gray(b, x) = ((g >> (6 - b)) & 1) ? 150 : 0;
  };
  auto setPhase = [](Planes& p, int x, double phi) {
    for (int k = 0; k < 4; ++k)
      p.fringe(k, x) = static_cast<std::uint8_t>(std::lround(120 - 100 * std::cos(phi - k * M_PI / 2)));
  };
  auto check = [](Planes& p, const std::vector<int>& expected) {
    const test::FiledImages f = p.filed();
    p.run(Thresholds{});
    std::vector<std::uint8_t> mask, code;
    std::vector<double> phase;
    test::referencePhase(f, Thresholds{}, mask, code, phase);
    for (int x = 0; x < p.w; ++x) {
      EXPECT_EQ(p.c.code[x], expected[x]) << "column " << x;
      EXPECT_EQ(code[x], expected[x]) << "reference, column " << x;
    }
  };
  {
    // Left of x 10 a surface in period 4 at phase 0; from x 10 another one in
    // period 5 whose phase starts at 1.6 and wraps into period 6 at x 17.
    Planes p(24, 1);
    std::vector<int> expected(24);
    for (int x = 0; x < 24; ++x) {
      const double phi = x < 10 ? 0.0 : 1.6 + 0.25 * (x - 10);
      const int code = x < 10 ? 4 : (phi > M_PI ? 6 : 5);
      setCode(p, x, code);
      setPhase(p, x, phi > M_PI ? phi - 2 * M_PI : phi);
      expected[x] = (x == 10 || x == 11) ? 4 : code;
    }
    check(p, expected);
  }
  {
    // Right of x 9 period 5 at phase 0; left of it period 4 whose phase falls
    // from -1.6 and wraps into period 3 at x 2.
    Planes p(24, 1);
    std::vector<int> expected(24);
    for (int x = 0; x < 24; ++x) {
      const double phi = x > 9 ? 0.0 : -1.6 - 0.25 * (9 - x);
      const int code = x > 9 ? 5 : (phi < -M_PI ? 3 : 4);
      setCode(p, x, code);
      setPhase(p, x, phi < -M_PI ? phi + 2 * M_PI : phi);
      expected[x] = (x == 9 || x == 8) ? 5 : code;
    }
    check(p, expected);
  }
}

}  // namespace
}  // namespace zel
