#include "decoder/common/point_output.h"
#include "decoder/common/tests/test_files.h"

#include <gtest/gtest.h>

#include <vector>

namespace zel {
namespace {

struct Grid {
  int w, h;
  std::vector<double> disparity;
  std::vector<std::uint8_t> mask, texture;
  std::vector<PointRecord> records;
  std::vector<int> rowCounts;
  Grid(int width, int height)
      : w(width),
        h(height),
        disparity(w * h, 0.0),
        mask(w * h, 0),
        texture(w * h, 0),
        records(w * h),
        rowCounts(h + 1) {
    for (int i = 0; i < w * h; ++i) texture[i] = static_cast<std::uint8_t>(i * 7);
  }
  PointGrid view() {
    PointGrid g;
    g.width = w;
    g.height = h;
    g.disparity = disparity.data();
    g.leftMask = mask.data();
    g.texture = texture.data();
    g.records = records.data();
    g.rowCounts = rowCounts.data();
    return g;
  }
};

// f 100, principal point (8, 4), right camera 10 units along +x, left at the origin.
StereoCamera idealPair(int w, int h) {
  StereoCamera s;
  s.configure(w, h);
  EXPECT_TRUE(s.left.setProjection(cv::Mat(test::rectifiedProjection(100, 8, 4, cv::Matx33d::eye(), {0, 0, 0}))));
  EXPECT_TRUE(s.right.setProjection(cv::Mat(test::rectifiedProjection(100, 8, 4, cv::Matx33d::eye(), {10, 0, 0}))));
  s.Q = (cv::Mat_<double>(4, 4) << 1, 0, 0, -8, 0, 1, 0, -4, 0, 0, 0, 100, 0, 0, 1.0 / 10, 0);
  return s;
}

TEST(PointOutput, ReprojectionAndCollection) {
  Grid g(16, 8);
  const StereoCamera s = idealPair(16, 8);
  for (int i = 0; i < g.w * g.h; ++i) g.disparity[i] = 20.0;
  g.mask[3] = 205;        // not a point
  g.disparity[20] = 0.0;  // w = 0: infinite point
  g.mask[g.w * g.h - 1] = 209;
  const int n = reprojectPoints(s.Q, g.view(), 2);
  EXPECT_EQ(n, g.w * g.h - 3);
  EXPECT_EQ(g.mask[20], kMaskPointNotFinite);
  EXPECT_EQ(g.mask[3], 205);
  // Pixel (x 12, y 6): Z = f B / d = 50, X = (12 - 8) Z / f = 2, Y = 1.
  const PointRecord& r = g.records[6 * 16 + 12];
  EXPECT_FLOAT_EQ(r.x, 2.0f);
  EXPECT_FLOAT_EQ(r.y, 1.0f);
  EXPECT_FLOAT_EQ(r.z, 50.0f);
  EXPECT_EQ(r.color[0], g.texture[6 * 16 + 12]);
  EXPECT_EQ(r.color[2], g.texture[6 * 16 + 12]);

  std::vector<float> pts(3 * n);
  std::vector<std::uint8_t> cols(3 * n);
  std::vector<std::int32_t> idx(n);
  collectPoints(g.view(), n, pts.data(), cols.data(), idx.data(), 2);
  for (int i = 1; i < n; ++i) ASSERT_LT(idx[i - 1], idx[i]);
  EXPECT_EQ(idx[0], 0);
  EXPECT_EQ(idx[3], 4);  // pixel 3 is skipped
  EXPECT_EQ(idx[n - 1], g.w * g.h - 2);
  for (int i = 0; i < n; ++i) {
    ASSERT_EQ(pts[3 * i + 2], g.records[idx[i]].z);
    ASSERT_EQ(cols[3 * i + 1], g.texture[idx[i]]);
  }
}

// Direct output (no records): the same points, colours and indices as the
// records and their collection, with the rejected pixels squeezed out; for
// both methods, with rejections in the first, a middle and the last slot
// (the two-ray method at least in the middle one).
TEST(PointOutput, DirectOutputEqualsRecordsAndCollection) {
  const StereoCamera s = idealPair(16, 8);
  for (int method = 0; method < 2; ++method) {
    Grid viaRecords(16, 8), direct(16, 8);
    for (Grid* g : {&viaRecords, &direct}) {
      for (int i = 0; i < g->w * g->h; ++i) g->disparity[i] = 20.0 + 0.01 * i;
      g->mask[5] = 205;
      // Disparity 0: no point (w = 0) for the reprojection; for the two-ray
      // method at least on the optical axis (8, 4) (parallel rays).
      for (int i : {0, 4 * 16 + 8, 16 * 8 - 1}) g->disparity[i] = 0.0;
    }
    auto run = [&](const PointGrid& g) {
      return method == 0 ? reprojectPoints(s.Q, g, 2) : triangulateRays(s, 1e-6, g, 2);
    };
    const int n = run(viaRecords.view());
    std::vector<float> pts(3 * n);
    std::vector<std::uint8_t> cols(3 * n);
    std::vector<std::int32_t> idx(n);
    collectPoints(viaRecords.view(), n, pts.data(), cols.data(), idx.data(), 2);

    PointGrid g = direct.view();
    g.records = nullptr;
    const int slots = countSlots(g, 2);
    std::vector<float> dPts(3 * slots);
    std::vector<std::uint8_t> dCols(3 * slots);
    std::vector<std::int32_t> dIdx(slots);
    g.points = dPts.data();
    g.colors = dCols.data();
    g.pixelIndices = dIdx.data();
    ASSERT_EQ(run(g), n) << method;
    ASSERT_EQ(compactPoints(dPts.data(), dCols.data(), dIdx.data(), slots), n) << method;
    EXPECT_LT(n, slots) << method;
    EXPECT_EQ(direct.mask, viaRecords.mask) << method;
    dPts.resize(3 * n);
    dCols.resize(3 * n);
    dIdx.resize(n);
    EXPECT_EQ(dPts, pts) << method;
    EXPECT_EQ(dCols, cols) << method;
    EXPECT_EQ(dIdx, idx) << method;
  }
}

TEST(PointOutput, TwoRayMethod) {
  Grid g(16, 8);
  const StereoCamera s = idealPair(16, 8);
  for (int i = 0; i < g.w * g.h; ++i) g.disparity[i] = 20.0;
  g.disparity[4 * 16 + 8] = 0.0;   // the optical axis in both cameras: parallel rays
  g.disparity[2 * 16 + 3] = 20.5;  // a half-pixel vertical error would still intersect: rows agree
  const int n = triangulateRays(s, 1e-9, g.view(), 2);
  EXPECT_EQ(g.mask[4 * 16 + 8], kMaskPointNotFinite);
  EXPECT_EQ(n, g.w * g.h - 1);
  const PointRecord& r = g.records[6 * 16 + 12];
  EXPECT_NEAR(r.x, 2.0f, 1e-5);
  EXPECT_NEAR(r.y, 1.0f, 1e-5);
  EXPECT_NEAR(r.z, 50.0f, 1e-4);
  EXPECT_NEAR(g.records[2 * 16 + 3].z, 1000.0 / 20.5, 1e-3);

  // Rays that miss each other: the right camera raised by 1 unit.
  StereoCamera skew = idealPair(16, 8);
  ASSERT_TRUE(skew.right.setProjection(cv::Mat(test::rectifiedProjection(100, 8, 4, cv::Matx33d::eye(), {10, 1, 0}))));
  Grid g2(16, 8);
  for (int i = 0; i < g2.w * g2.h; ++i) g2.disparity[i] = 20.0;
  EXPECT_EQ(triangulateRays(skew, 0.5, g2.view(), 2), 0);
  EXPECT_EQ(g2.mask[5 * 16 + 5], kMaskRayGap);
}

}  // namespace
}  // namespace zel
