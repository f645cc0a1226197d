// The comparison of an estimated camera model with the true one.
#include <gtest/gtest.h>

#include <cmath>

#include "sim/scene/lens_difference.h"

namespace {

cv::Mat camera(double fx, double cx, double cy) { return (cv::Mat_<double>(3, 3) << fx, 0, cx, 0, fx, cy, 0, 0, 1); }

cv::Mat lens(double k1, double k2 = 0.0) { return (cv::Mat_<double>(1, 5) << k1, k2, 0.0006, -0.0004, 0.0); }

TEST(LensModelDifference, MeasuresTheDistortionAndForgivesOnlyARotation) {
  const cv::Mat K = camera(1450, 636.8, 514.3), D = lens(-0.085, 0.11);
  const std::vector<cv::Point2f> grid = sim::imageGrid(1280, 1024);
  ASSERT_EQ(grid.size(), 21u * 17u);
  EXPECT_EQ(grid.front(), cv::Point2f(0, 0));
  EXPECT_EQ(grid.back(), cv::Point2f(1279, 1023));

  // The same model: nothing to measure, with or without the rotation.
  EXPECT_LT(sim::lensModelDifference(K, D, K, D, grid, false), 1e-3);
  EXPECT_LT(sim::lensModelDifference(K, D, K, D, grid, true), 1e-3);

  // A principal point half a pixel off reads as half a pixel everywhere,
  // but is nearly a turn of the camera: aligned, only the small projective
  // remainder of that turn is left.
  const cv::Mat shifted = camera(1450, 637.3, 514.3);
  EXPECT_NEAR(sim::lensModelDifference(K, D, shifted, D, grid, false), 0.5, 0.01);
  EXPECT_LT(sim::lensModelDifference(K, D, shifted, D, grid, true), 0.25);

  // A change of k1 moves the corners by about f * dk1 * r^3 (r the
  // undistorted radius there) and no rotation can take that up.
  const double dk1 = 0.001;
  const double corner = sim::lensModelDifference(K, D, K, lens(-0.085 + dk1, 0.11), grid, false);
  EXPECT_GT(corner, 0.3 * 1450 * dk1 * std::pow(0.55, 3));
  EXPECT_LT(corner, 1450 * dk1 * std::pow(0.65, 3));
  EXPECT_GT(sim::lensModelDifference(K, D, K, lens(-0.085 + dk1, 0.11), grid, true), 0.5 * corner);
  EXPECT_EQ(sim::lensModelDifference(K, D, K, D, {}, true), 0.0);
}

}  // namespace
