// Board poses of the calibration scene and the board pattern.
#include <gtest/gtest.h>

#include <cmath>

#include "sim/scene/boards.h"

namespace {

TEST(BoardPoses, BaseMarkerStaysInViewOverTheWorkingRange) {
  const sim::StereoRig rig = sim::defaultRig();
  const sim::BoardSpec spec = sim::defaultBoardSpec();
  const std::vector<sim::BoardPose> poses = sim::boardPoses(rig, spec, 16, 9);
  ASSERT_EQ(poses.size(), 16u);
  double maxTilt = 0, zmin = 1e9, zmax = 0;
  for (const sim::BoardPose& p : poses) {
    cv::Vec3d n(p.axes(0, 2), p.axes(1, 2), p.axes(2, 2));
    maxTilt = std::max(maxTilt, std::acos(std::abs(n[2])) * 180 / CV_PI);
    zmin = std::min(zmin, p.origin[2]);
    zmax = std::max(zmax, p.origin[2]);
    for (const sim::Camera* cam : {&rig.left, &rig.right}) {
      std::vector<cv::Point2d> px;
      std::vector<uint8_t> vis;
      sim::circleCentres(*cam, spec, p, px, vis);
      const int o = spec.offsetY() * spec.nCirclesX + spec.offsetX();
      EXPECT_TRUE(vis[o] && vis[o + 2] && vis[o + spec.nCirclesX]);
    }
  }
  EXPECT_GT(maxTilt, 40);
  EXPECT_LE(maxTilt, 45.5);
  EXPECT_LT(zmin, 600);
  EXPECT_GT(zmax, 800);
  // Seeded: the same seed gives the same poses.
  const std::vector<sim::BoardPose> again = sim::boardPoses(rig, spec, 16, 9);
  EXPECT_EQ(cv::norm(again[5].origin - poses[5].origin), 0);
}

TEST(BoardSpec, PatternHasDoubleCirclesOnlyAtTheBaseMarker) {
  const sim::BoardSpec spec = sim::defaultBoardSpec();
  int doubles = 0;
  for (int r = 0; r < spec.nCirclesY; ++r)
    for (int c = 0; c < spec.nCirclesX; ++c) {
      cv::Point2d p = spec.centre(r, c);
      const double rr = spec.circleRadius * spec.unitleng;
      bool isDouble = spec.albedoAt(p.x, p.y) == spec.whiteAlbedo;
      EXPECT_EQ(isDouble, spec.isDoubleCircle(r, c));
      doubles += isDouble;
      EXPECT_EQ(spec.albedoAt(p.x + 0.75 * rr, p.y), spec.darkAlbedo);   // on the ring / disk
      EXPECT_EQ(spec.albedoAt(p.x + 1.05 * rr, p.y), spec.whiteAlbedo);  // between circles
    }
  EXPECT_EQ(doubles, 3);
  // Origin at column n_circles_x - origin_x - 1, row n_circles_y - origin_y - 1.
  EXPECT_EQ(spec.centre(spec.nCirclesY - spec.originY - 1, spec.nCirclesX - spec.originX - 1), cv::Point2d(0, 0));
  EXPECT_TRUE(spec.isDoubleCircle(9, 6));
  EXPECT_TRUE(spec.isDoubleCircle(9, 8));   // X partner: two steps along +x
  EXPECT_TRUE(spec.isDoubleCircle(10, 6));  // Y partner: one step along +y
  EXPECT_FALSE(spec.isDoubleCircle(9, 7));
  EXPECT_EQ(spec.centre(9, 8), cv::Point2d(2 * spec.unitleng, 0));
}

}  // namespace
