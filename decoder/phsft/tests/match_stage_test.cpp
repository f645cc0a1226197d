#include "decoder/phsft/match_stage.h"
#include "decoder/phsft/tests/reference_decoder.h"

#include <gtest/gtest.h>

#include <random>

namespace zel {
namespace {

// Buffers of the matching stage: right phase = column, every right pixel
// valid; left pixels masked unless a test sets them.
struct Rows {
  DecodeBuffers b;
  Rows(int w, int h) {
    b.allocate(w, h);
    for (CameraPlanes& c : b.cam) {
      std::fill(c.white.begin(), c.white.end(), 100);
      std::fill(c.mask.begin(), c.mask.end(), 0);
    }
    std::fill(b.cam[0].mask.begin(), b.cam[0].mask.end(), 201);
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) right(x, y) = x;
    }
  }
  void setLeft(int x, double phase, int y = 0) {
    left(x, y) = phase;
    maskL(x, y) = 0;
  }
  double& left(int x, int y = 0) { return b.cam[0].phase[y * b.width + x]; }
  double& right(int x, int y = 0) { return b.cam[1].phase[y * b.width + x]; }
  std::uint8_t& maskL(int x, int y = 0) { return b.cam[0].mask[y * b.width + x]; }
  std::uint8_t& maskR(int x, int y = 0) { return b.cam[1].mask[y * b.width + x]; }
  double disp(int x, int y = 0) const { return b.grid.disparity[y * b.width + x]; }
  // Matching goes on in the grid's left mask; it is copied back so that the
  // accessors read the result.
  void run(const Thresholds& t) {
    RowMatcher m(b.width, t.searchDiv);
    for (int y = 0; y < b.height; ++y) m.matchRow(b.startRow(y), t);
    for (int y = 0; y < b.height; ++y) applyUpperNeighbourTest(b.grid, y, t);
    b.cam[0].mask = b.grid.mask;
  }
};

Thresholds wholePixel() {
  Thresholds t;
  t.lsPoints = 1;  // never enough points for a line: d = x - r
  t.maxStep = 100;
  return t;
}

TEST(Matching, RightPixelUsedOnceThenNextBestOrRejected) {
  Rows r(24, 1);
  r.setLeft(10, 7.0);
  r.setLeft(11, 7.0);
  r.right(6) = 6.8;
  r.run(wholePixel());
  EXPECT_EQ(r.maskL(10), 0);
  EXPECT_EQ(r.disp(10), 3.0);
  EXPECT_EQ(r.maskL(11), 0);
  EXPECT_EQ(r.disp(11), 5.0);  // right 6, the next best
  EXPECT_EQ(r.maskR(7), 1);
  EXPECT_EQ(r.maskR(6), 1);

  Rows q(24, 1);
  q.setLeft(10, 7.0);
  q.setLeft(11, 7.0);  // next best right 6 or 8 differ by 1 > max_ph_diff
  q.run(wholePixel());
  EXPECT_EQ(q.maskL(11), kMaskNoMatch);
  EXPECT_EQ(q.disp(11), 0.0);
  EXPECT_EQ(q.maskR(6), 0);  // a rejected match uses nothing
  EXPECT_EQ(q.maskR(8), 0);

  Rows two(24, 1);
  two.setLeft(10, 7.0);
  two.setLeft(11, 7.0);
  Thresholds t = wholePixel();
  t.rightDupCnt = 2;
  two.run(t);
  EXPECT_EQ(two.disp(11), 4.0);  // right 7 may serve twice
  EXPECT_EQ(two.maskR(7), 2);
}

TEST(Matching, TextureAndCodeRejectionsStillUseThePartner) {
  Rows r(24, 1);
  r.setLeft(10, 7.0);
  r.b.cam[1].white[7] = 250;  // |100 - 250| > 100 * 0.8
  r.setLeft(14, 12.0);
  r.b.cam[0].code[14] = 9;
  r.b.cam[1].code[12] = 7;  // codes 2 apart
  r.setLeft(15, 13.0);
  r.b.cam[0].code[15] = 9;
  r.b.cam[1].code[13] = 8;  // 1 apart: fine
  r.run(wholePixel());
  EXPECT_EQ(r.maskL(10), kMaskTexture);
  EXPECT_EQ(r.maskR(7), 1);
  EXPECT_EQ(r.disp(10), 3.0);
  EXPECT_EQ(r.maskL(14), kMaskCode);
  EXPECT_EQ(r.maskR(12), 1);
  EXPECT_EQ(r.maskL(15), 0);
}

TEST(Matching, DisparityChecks) {
  Rows r(48, 1);
  Thresholds t = wholePixel();
  t.maxStep = 1.0;
  t.maxParallax = 3.0;
  t.minParallax = -2.0;
  r.setLeft(5, 3.0);    // column 5 against the border's zero disparity: 2 > max_step
  r.setLeft(11, 10.0);  // disparity 1 after a zero: within max_step
  r.setLeft(19, 16.0);  // jumps from 0 to 3
  r.setLeft(20, 17.0);  // exactly max_parallax after a 3
  r.setLeft(30, 26.0);  // 4 > max_parallax
  r.setLeft(33, 36.0);  // -3 < min_parallax
  r.run(t);
  EXPECT_EQ(r.maskL(5), kMaskStep);
  EXPECT_EQ(r.maskL(4), kMaskStep);
  EXPECT_EQ(r.disp(5), 2.0);  // the disparity stays
  EXPECT_EQ(r.maskL(11), 0);
  EXPECT_EQ(r.maskL(19), kMaskStep);
  EXPECT_EQ(r.maskL(18), kMaskStep);
  EXPECT_EQ(r.maskL(20), 0);
  EXPECT_EQ(r.disp(20), 3.0);
  EXPECT_EQ(r.maskL(30), kMaskParallax);
  EXPECT_EQ(r.disp(30), 0.0);
  EXPECT_EQ(r.maskR(26), 1);  // still used up
  EXPECT_EQ(r.maskL(33), kMaskParallax);
}

TEST(Matching, UpperNeighbourTest) {
  Rows r(24, 3);
  Thresholds t = wholePixel();
  t.maxStep = 1.0;
  for (int y = 0; y < 3; ++y) {
    for (int x = 8; x < 12; ++x) r.setLeft(x, x - (y == 2 ? 3 : 1), y);  // disparity 1, 1, then 3
  }
  r.run(t);
  for (int x = 8; x < 12; ++x) {
    EXPECT_EQ(r.maskL(x, 0), 0) << x;                       // row 0 is compared with itself
    EXPECT_EQ(r.maskL(x, 1), x == 8 ? 0 : kMaskStep) << x;  // marked from row 2
    EXPECT_EQ(r.maskL(x, 2), kMaskStep) << x;
    EXPECT_EQ(r.disp(x, 2), 3.0) << x;  // disparities stay
  }
  EXPECT_EQ(r.maskL(7, 2), kMaskStep);  // left neighbour of the jump at 8
}

TEST(Matching, SubPixelFitAndItsWindow) {
  Rows r(30, 1);
  Thresholds t = wholePixel();
  t.lsPoints = 3;
  for (int x = 0; x < 30; ++x) r.right(x) = 0.5 * x + 1.0;
  r.setLeft(15, 0.5 * 11.25 + 1.0);  // exact position 11.25
  r.setLeft(20, 0.5 * 0.2 + 1.0);    // partner column 0: window clipped to 0..1
  r.setLeft(22, 0.5 * 29.0 + 1.0);   // partner the last column: window 28..29
  r.maskR(17) = 201;
  r.maskR(19) = 202;
  r.setLeft(24, 0.5 * 18 + 1.0);  // partner 18, window 17..19 has one usable column
  r.run(t);
  EXPECT_EQ(r.disp(15), 15 - 11.25);
  EXPECT_EQ(r.disp(20), 20.0);  // two usable columns only: whole pixel
  EXPECT_EQ(r.disp(22), 22.0 - 29.0);
  EXPECT_EQ(r.disp(24), 6.0);
}

// Random rows with quantised phases (many equal block averages and equal
// distances), random masks and thresholds: the optimised matcher equals the
// reference's linear scans.
TEST(Matching, EqualsReferenceOnRandomRows) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> any(0, 1 << 20);
  for (int trial = 0; trial < 60; ++trial) {
    const int w = 30 + any(rng) % 90, h = 1 + any(rng) % 6;
    Rows r(w, h);
    Thresholds t;
    t.searchDiv = 1 + any(rng) % 7;
    t.rightDupCnt = 1 + any(rng) % 3;
    t.lsPoints = any(rng) % 7;
    t.maxStep = 0.5 + any(rng) % 4;
    t.maxPhDiff = 0.25 * (1 + any(rng) % 4);
    t.minParallax = -5;
    t.maxParallax = 5 + any(rng) % 20;
    const double q = trial % 3 == 0 ? 0.5 : 0.125;
    const bool shuffled = trial % 4 == 3;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const double base = shuffled ? any(rng) % 64 : x * 0.7;
        r.left(x, y) = std::round((base + (any(rng) % 9 - 4) * 0.1) / q) * q;
        r.right(x, y) = std::round((base + 2.1 + (any(rng) % 9 - 4) * 0.1) / q) * q;
        if (any(rng) % 9 == 0) r.right(x, y) = 0.0;
        r.maskL(x, y) = any(rng) % 8 == 0 ? 201 : 0;  // mostly valid
        r.maskR(x, y) = any(rng) % 7 == 0 ? static_cast<std::uint8_t>(201 + any(rng) % 3) : 0;
        if (x < 5 || x >= w - 5) r.maskL(x, y) = r.maskR(x, y) = 202;
        r.b.cam[0].white[y * w + x] = static_cast<std::uint8_t>(any(rng) % 256);
        r.b.cam[1].white[y * w + x] = static_cast<std::uint8_t>(any(rng) % 256);
        r.b.cam[0].code[y * w + x] = static_cast<std::uint8_t>(any(rng) % 4);
        r.b.cam[1].code[y * w + x] = static_cast<std::uint8_t>(any(rng) % 4);
      }
    }
    std::vector<std::uint8_t> maskL = r.b.cam[0].mask, maskR = r.b.cam[1].mask;
    std::vector<double> disp;
    const test::MatchInput in{w,
                              h,
                              r.b.cam[0].phase.data(),
                              r.b.cam[1].phase.data(),
                              r.b.cam[0].white.data(),
                              r.b.cam[1].white.data(),
                              r.b.cam[0].code.data(),
                              r.b.cam[1].code.data()};
    test::referenceMatch(in, t, maskL, maskR, disp);
    r.run(t);
    ASSERT_EQ(maskL, r.b.cam[0].mask) << "trial " << trial;
    ASSERT_EQ(maskR, r.b.cam[1].mask) << "trial " << trial;
    ASSERT_EQ(0, std::memcmp(disp.data(), r.b.grid.disparity.data(), disp.size() * sizeof(double))) << trial;
  }
}

}  // namespace
}  // namespace zel
