#include "decoder/common/camera_models.h"
#include "decoder/common/tests/test_files.h"

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace zel {
namespace {

TEST(PinHoleCamera, ProjectionDecomposesAndBackProjects) {
  cv::Matx33d r;
  cv::Rodrigues(cv::Vec3d(0.3, 1.2, -0.4), r);
  const cv::Vec3d centre(10, -20, 30);
  const cv::Matx34d p = test::rectifiedProjection(800, 320, 240, r, centre);
  PinHoleCamera cam("c", 640, 480);
  ASSERT_TRUE(cam.setProjection(cv::Mat(p)));
  EXPECT_NEAR(cam.K.at<double>(0, 0), 800, 1e-6);
  EXPECT_NEAR(cam.K.at<double>(1, 2), 240, 1e-6);
  EXPECT_NEAR(cam.T.at<double>(0), 10, 1e-6);
  EXPECT_NEAR(cam.T.at<double>(1), -20, 1e-6);
  EXPECT_NEAR(cam.T.at<double>(2), 30, 1e-9);
  EXPECT_EQ(cam.P.at<double>(3, 3), 1.0);
  // A world point on the ray of its own projection.
  const cv::Vec3d world = centre + r.t() * cv::Vec3d(3, 2, 50);  // in front of the camera
  const cv::Vec3d proj = p * cv::Vec4d(world[0], world[1], world[2], 1);
  const cv::Vec3d ray = cam.backProject(proj[0] / proj[2], proj[1] / proj[2]);
  const cv::Vec3d toPoint = world - centre;
  EXPECT_NEAR(cv::norm(ray.cross(toPoint)) / (cv::norm(ray) * cv::norm(toPoint)), 0.0, 1e-9);
  EXPECT_GT(ray.dot(toPoint), 0.0);
}

TEST(PinHoleCamera, BadProjectionLeavesCameraUnchanged) {
  PinHoleCamera cam;
  cv::Mat nanP = cv::Mat::zeros(3, 4, CV_64F);
  nanP.at<double>(0, 0) = NAN;
  EXPECT_FALSE(cam.setProjection(nanP));
  EXPECT_FALSE(cam.setProjection(cv::Mat::zeros(3, 4, CV_64F)));  // singular
  EXPECT_FALSE(cam.setProjection(cv::Mat::eye(3, 3, CV_64F)));
  EXPECT_EQ(cv::norm(cam.Pinv - cv::Mat::eye(4, 4, CV_64F)), 0.0);
}

TEST(UndistortCamera, FillValuesOutsideTheMapsAndTransparentBorder) {
  StereoCamera stereo;
  stereo.configure(8, 4);
  EXPECT_EQ(stereo.left.name, "stereoL");
  EXPECT_EQ(stereo.right.mapFileName, "stereoR.map");
  cv::Mat raw(4, 8, CV_8UC1, cv::Scalar(100));
  for (UndistortCamera* cam : {&stereo.left, &stereo.right}) {
    cam->mapX.create(4, 8, CV_32FC1);
    cam->mapY.create(4, 8, CV_32FC1);
    for (int y = 0; y < 4; ++y) {
      for (int x = 0; x < 8; ++x) {
        cam->mapX.at<float>(y, x) = x < 4 ? 1.0f + x * 0.5f : 50.0f;  // right half points outside
        cam->mapY.at<float>(y, x) = 1.0f;
      }
    }
  }
  cv::Mat left, right;
  ASSERT_TRUE(stereo.left.rectify(raw, left));
  ASSERT_TRUE(stereo.right.rectify(raw, right));
  EXPECT_EQ(left.at<std::uint8_t>(2, 1), 100);
  EXPECT_EQ(right.at<std::uint8_t>(2, 1), 100);
  EXPECT_EQ(left.at<std::uint8_t>(2, 6), 0);
  EXPECT_EQ(right.at<std::uint8_t>(2, 6), 255);
  // Maps of another size are refused rather than read out of bounds.
  cv::Mat small(2, 2, CV_8UC1, cv::Scalar(1));
  EXPECT_FALSE(stereo.left.rectify(small, left));
}

// The decoder rectifies band by band with compacted (fixed-point) maps: every
// pixel must get the value the whole-image remap with the float maps gives,
// for maps with fractional positions, positions outside the raw image and on
// its edges, and for bands that end at the last row.
TEST(UndistortCamera, BandsWithCompactedMapsEqualTheWholeFloatRemap) {
  constexpr int w = 97, h = 61;
  cv::RNG rng(7);
  cv::Mat raw(h, w, CV_8UC1);
  rng.fill(raw, cv::RNG::UNIFORM, 0, 256);
  UndistortCamera cam("c", w, h);
  cam.fillValue = cv::Scalar(255);
  cam.mapX.create(h, w, CV_32FC1);
  cam.mapY.create(h, w, CV_32FC1);
  for (int y = 0; y < h; ++y) {
    // Rows near the top and bottom reach 3 pixels beyond every edge; the rows
    // between stay inside (the remap writes all of them, with no fill).
    const bool edge = y < 12 || y >= h - 12;
    const float x0 = edge ? -3.0f : 1.0f, spanX = edge ? w + 5.0f : w - 3.5f;
    for (int x = 0; x < w; ++x) {
      // A distortion-like warp plus noise: every sub-pixel fraction and the
      // border cases occur.
      cam.mapX.at<float>(y, x) = x0 + spanX * x / (w - 1) + 0.3f * std::sin(0.3f * y) + rng.uniform(-0.2f, 0.2f);
      cam.mapY.at<float>(y, x) = (edge ? -3.0f + (h + 5.0f) * y / (h - 1) : static_cast<float>(y)) +
                                 0.3f * std::cos(0.2f * x) + rng.uniform(-0.2f, 0.2f);
    }
  }
  cam.mapX.at<float>(3, 3) = static_cast<float>(w - 1);  // exactly on the last column
  cam.mapY.at<float>(3, 3) = 0.5f;
  // Entries a damaged map file may hold: far outside, not a number.
  cam.mapX.at<float>(20, 7) = 1e9f;
  cam.mapY.at<float>(21, 8) = -1e9f;
  cam.mapX.at<float>(22, 9) = NAN;
  cam.mapY.at<float>(40, 50) = NAN;
  cv::Mat whole;
  ASSERT_TRUE(cam.rectify(raw, whole));
  UndistortCamera compact = cam;
  compact.mapX = cam.mapX.clone();
  compact.mapY = cam.mapY.clone();
  compact.compactMaps();
  EXPECT_TRUE(compact.mapX.empty());
  EXPECT_EQ(compact.mapSize(), cv::Size(w, h));
  cv::Mat banded(h, w, CV_8UC1, cv::Scalar(77));  // what a band held before
  for (int y0 = 0; y0 < h; y0 += 16) {
    const int y1 = std::min(h, y0 + 16);
    cv::Mat band = banded.rowRange(y0, y1);
    ASSERT_TRUE(compact.rectifyRows(raw, y0, y1, band));
  }
  EXPECT_EQ(cv::norm(whole, banded, cv::NORM_INF), 0.0);
  cv::Mat band(4, w, CV_8UC1);
  EXPECT_FALSE(compact.rectifyRows(raw, h - 2, h + 2, band));  // rows beyond the image

  // Several images at once, in bands of 4 rows and of 16: bands whose rows
  // lie wholly inside, bands with columns at the edges outside (done by
  // cv::remap beside the inside columns), bands with no inside column.
  cv::Mat raw2(h, w, CV_8UC1);
  rng.fill(raw2, cv::RNG::UNIFORM, 0, 256);
  cv::Mat whole2;
  ASSERT_TRUE(cam.rectify(raw2, whole2));
  for (int rows : {4, 16}) {
    cv::Mat many[2] = {cv::Mat(h, w, CV_8UC1, cv::Scalar(77)), cv::Mat(h, w, CV_8UC1, cv::Scalar(77))};
    const std::uint8_t* raws[2] = {raw.data, raw2.data};
    for (int y0 = 0; y0 < h; y0 += rows) {
      const int y1 = std::min(h, y0 + rows);
      std::uint8_t* outs[2] = {many[0].ptr(y0), many[1].ptr(y0)};
      ASSERT_TRUE(compact.rectifyRowsOfMany(raws, 2, y0, y1, outs));
    }
    EXPECT_EQ(cv::norm(whole, many[0], cv::NORM_INF), 0.0) << rows;
    EXPECT_EQ(cv::norm(whole2, many[1], cv::NORM_INF), 0.0) << rows;
  }
}

TEST(UndistortCamera, InterpolationSelector) {
  UndistortCamera cam;
  cam.interpolation = 0;
  EXPECT_EQ(cam.interpolationFlag(), cv::INTER_NEAREST);
  cam.interpolation = 2;
  EXPECT_EQ(cam.interpolationFlag(), cv::INTER_CUBIC);
  cam.interpolation = 3;
  EXPECT_EQ(cam.interpolationFlag(), cv::INTER_LANCZOS4);
  cam.interpolation = 7;
  EXPECT_EQ(cam.interpolationFlag(), cv::INTER_LINEAR);
}

}  // namespace
}  // namespace zel
