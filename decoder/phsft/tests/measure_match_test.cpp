#include "decoder/phsft/measure_match.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace zel {
namespace {

// The measurement matcher's row pass, neighbour support and region filter
// over the whole image, at default thresholds.
void matchMeasured(DecodeBuffers& buf, int W, int H) {
  Thresholds t;
  t.matchMode = 1;
  MeasureMatcher matcher(W);
  for (int y = 0; y < H; ++y) matcher.matchRow(buf.startRow(y), t);
  for (int y = 0; y < H; ++y) applyNeighbourSupport(buf.grid, y, t);
  RegionScratch scratch[2];
  removeSmallRegions(buf.grid, t, scratch);
}

// W x H rows whose left and right phases at column x are left(x) and right(x)
// (the same on every row), white 200, the code of each phase, the border
// columns masked 202 on both sides.
template <class Left, class Right>
void fillRows(DecodeBuffers& buf, int W, int H, Left left, Right right) {
  buf.allocate(W, H);
  for (int y = 0; y < H; ++y) {
    for (int x = 0; x < W; ++x) {
      const std::size_t i = static_cast<std::size_t>(y) * W + x;
      const double ph[2] = {left(x), right(x)};
      for (int c = 0; c < 2; ++c) {
        buf.cam[c].phase[i] = ph[c];
        buf.cam[c].white[i] = 200;
        buf.cam[c].code[i] = static_cast<std::uint8_t>(std::floor((ph[c] + M_PI) / (2 * M_PI)));
        buf.cam[c].mask[i] = x < kBorderColumns || x >= W - kBorderColumns ? kMaskBorder : 0;
      }
    }
  }
}

// Rows of a backdrop at disparity 10 (phase 0.4 per left column) with a
// post in front of it over left columns first to last at disparity
// postDisparity, whose phase is the backdrop's shifted by postShift.
void postRows(DecodeBuffers& buf, int W, int H, int first, int last, int postDisparity, double postShift) {
  auto backdrop = [](double x) { return 0.4 * x; };  // phase of the backdrop point seen at left column x
  auto post = [postShift](double x) { return 0.4 * x + postShift; };
  fillRows(
      buf, W, H, [&](int x) { return x >= first && x <= last ? post(x) : backdrop(x); },
      [&](int x) {
        const bool onPost = x >= first - postDisparity && x <= last - postDisparity;
        return onPost ? post(x + postDisparity) : backdrop(x + 10);
      });
}

// Rows of a backdrop (disparity 10) with a post of 8 columns in front of it
// (disparity 16, left columns 30 to 37). The right camera sees the post at
// columns 14 to 21, where it hides the backdrop of left columns 24 to 31;
// the post's phase starts above the backdrop's, so left pixels of the hidden
// band whose phase lies in the post's range meet it there.
TEST(MeasureMatch, OcclusionThinPostAndGaps) {
  constexpr int W = 60, H = 10;
  DecodeBuffers buf;
  postRows(buf, W, H, 30, 37, 16, -1.0);
  matchMeasured(buf, W, H);

  for (int y = 0; y < H; ++y) {
    const std::uint8_t* mask = buf.grid.mask.data() + y * W;
    const double* disp = buf.grid.disparity.data() + y * W;
    // No point anywhere off the two surfaces.
    for (int x = 0; x < W; ++x) {
      if (mask[x] != 0) continue;
      const double expected = x >= 30 && x <= 37 ? 16.0 : 10.0;
      ASSERT_NEAR(disp[x], expected, 1e-9) << "row " << y << ", column " << x;
    }
    // Partners left of the right image: no candidate.
    for (int x = 5; x < 10; ++x) EXPECT_EQ(mask[x], kMaskNoMatch) << x;
    // The backdrop up to the hidden band, and the post beside the gap the
    // band leaves, all decode: the right row shows the backdrop cleanly up
    // to the post's silhouette, so no grazing rim of the post is assumed
    // over it.
    for (int x = 11; x <= 23; ++x) EXPECT_EQ(mask[x], 0) << "row " << y << ", column " << x;
    for (int x = 30; x <= 37; ++x) EXPECT_EQ(mask[x], 0) << "row " << y << ", column " << x;
    // Hidden pixels that meet their phase on the post are occluded, not
    // displaced; the others find no partner.
    for (int x = 24; x <= 29; ++x) {
      const bool onPost = 0.4 * x >= 0.4 * 30 - 1.0;  // its backdrop phase within the post's
      EXPECT_EQ(mask[x], onPost ? kMaskOccluded : kMaskNoMatch) << "row " << y << ", column " << x;
    }
    // Right of the post the backdrop decodes again, although its right
    // positions lie right of the post's (the order along the row is broken,
    // not the visibility), except the far pixel beside the depth edge.
    EXPECT_EQ(mask[38], kMaskStep);
    for (int x = 39; x <= 49; ++x) EXPECT_EQ(mask[x], 0) << "row " << y << ", column " << x;
  }
}

// A right run whose first pixel mixes in what lies beside it (right column
// 20 after two dark columns: its phase rise is a fraction of the surface's).
// The small end rise does not cut the run, the pixel is trimmed, and the left
// pixel seeing that stretch is placed by extending the run's line one pixel:
// it decodes with the true disparity instead of finding no partner (205).
// One end rise further out no partner is found.
TEST(MeasureMatch, RunEndTrimmedAndExtended) {
  constexpr int W = 60, H = 10;
  DecodeBuffers buf;
  fillRows(
      buf, W, H, [](int x) { return 0.4 * x; },                           // backdrop, disparity 10
      [](int x) { return x == 20 ? 0.4 * 31 - 0.05 : 0.4 * (x + 10); });  // column 20 mixed
  for (int y = 0; y < H; ++y) {
    for (int x : {18, 19}) buf.cam[1].mask[static_cast<std::size_t>(y) * W + x] = kMaskContrast;
  }
  matchMeasured(buf, W, H);
  for (int y = 0; y < H; ++y) {
    const std::uint8_t* mask = buf.grid.mask.data() + y * W;
    const double* disp = buf.grid.disparity.data() + y * W;
    EXPECT_EQ(mask[29], kMaskNoMatch) << "row " << y;
    for (int x = 30; x < W - kBorderColumns; ++x) {
      ASSERT_EQ(mask[x], 0) << "row " << y << ", column " << x;
      ASSERT_NEAR(disp[x], 10.0, 1e-9) << "row " << y << ", column " << x;
    }
  }
}

// A post far in front of the backdrop (disparity 30 against 10, left
// columns 60 to 67, right columns 30 to 37): the band of backdrop it hides
// lies 20 columns left of it in the left image (40 to 47), and the backdrop
// beside the band, left columns 37 to 39, is seen up to right column 29, the
// clean end of its run. The post's left silhouette is not a grazing rim over
// those positions: the backdrop there and the whole post decode; the post is
// not taken for a wrong match (213) of a backdrop phase.
TEST(MeasureMatch, FarPostKeepsTheBackdropBesideItsSilhouette) {
  constexpr int W = 100, H = 10;
  DecodeBuffers buf;
  postRows(buf, W, H, 60, 67, 30, 20.0);  // the post's phases: ones the backdrop never shows
  matchMeasured(buf, W, H);
  for (int y = 0; y < H; ++y) {
    const std::uint8_t* mask = buf.grid.mask.data() + y * W;
    const double* disp = buf.grid.disparity.data() + y * W;
    for (int x = 0; x < W; ++x) {
      if (mask[x] != 0) continue;
      ASSERT_NEAR(disp[x], x >= 60 && x <= 67 ? 30.0 : 10.0, 1e-9) << "row " << y << ", column " << x;
    }
    for (int x = 11; x <= 39; ++x) EXPECT_EQ(mask[x], 0) << "row " << y << ", column " << x;
    for (int x = 40; x <= 47; ++x) EXPECT_EQ(mask[x], kMaskNoMatch) << "row " << y << ", column " << x;
    for (int x = 48; x <= 58; ++x) EXPECT_EQ(mask[x], 0) << "row " << y << ", column " << x;
    // The far pixel beside each depth edge is dropped.
    EXPECT_EQ(mask[59], kMaskStep) << "row " << y;
    for (int x = 60; x <= 67; ++x) EXPECT_EQ(mask[x], 0) << "row " << y << ", column " << x;
    EXPECT_EQ(mask[68], kMaskStep) << "row " << y;
  }
}

// The region filter against a plain flood fill: random grids of patches
// whose disparities step by a little (joined) or a lot (not), with holes,
// regions just under and over 50 pixels, regions across the middle row (where
// the two halves meet) and single rows and columns.
TEST(MeasureMatch, SmallRegionsAreTheFloodFillsRegions) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 60; ++trial) {
    const int w = 1 + static_cast<int>(rng() % 40), h = 1 + static_cast<int>(rng() % 40);
    MatchGrid g;
    g.allocate(w, h);
    const int cell = 1 + static_cast<int>(rng() % 8);
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const std::size_t i = static_cast<std::size_t>(y) * w + x;
        const int patch = (y / cell) * 7 + (x / cell) * 3;
        g.disparity[i] = 10.0 * (patch % 5) + (rng() % 3) * 0.4;  // within 1 inside a patch
        g.mask[i] = rng() % 6 == 0 ? kMaskNoMatch : 0;
      }
    }
    std::vector<std::uint8_t> expected = g.mask;
    std::vector<int> seen(g.pixels(), 0), stack, region;
    for (int seed = 0; seed < w * h; ++seed) {
      if (expected[static_cast<std::size_t>(seed)] != 0 || seen[static_cast<std::size_t>(seed)]) continue;
      stack.assign(1, seed);
      region.clear();
      seen[static_cast<std::size_t>(seed)] = 1;
      while (!stack.empty()) {
        const int i = stack.back();
        stack.pop_back();
        region.push_back(i);
        const int x = i % w, y = i / w;
        const int next[4][2] = {{x - 1, y}, {x + 1, y}, {x, y - 1}, {x, y + 1}};
        for (const auto& n : next) {
          if (n[0] < 0 || n[0] >= w || n[1] < 0 || n[1] >= h) continue;
          const int j = n[1] * w + n[0];
          if (g.mask[static_cast<std::size_t>(j)] == 0 && !seen[static_cast<std::size_t>(j)] &&
              std::fabs(g.disparity[static_cast<std::size_t>(j)] - g.disparity[static_cast<std::size_t>(i)]) <= 1.0) {
            seen[static_cast<std::size_t>(j)] = 1;
            stack.push_back(j);
          }
        }
      }
      if (region.size() < 50) {
        for (int i : region) expected[static_cast<std::size_t>(i)] = kMaskSmallRegion;
      }
    }
    Thresholds t;
    RegionScratch scratch[2];
    removeSmallRegions(g, t, scratch);
    ASSERT_EQ(g.mask, expected) << "trial " << trial << ", " << w << " x " << h << ", cell " << cell;
  }
}

}  // namespace
}  // namespace zel
