// Camera, projector and rig geometry of the virtual head.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include <opencv2/calib3d.hpp>

#include "sim/scene/stereo_rig.h"

namespace {

std::vector<cv::Vec3d> randomPoints(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> xy(-300, 300), z(450, 1000);
  std::vector<cv::Vec3d> pts;
  for (int i = 0; i < n; ++i) pts.emplace_back(xy(rng), xy(rng), z(rng));
  return pts;
}

TEST(Camera, ProjectionEqualsOpenCvProjectPoints) {
  const sim::StereoRig rig = sim::defaultRig();
  for (const sim::Camera* cam : {&rig.left, &rig.right}) {
    std::vector<cv::Vec3d> pts = randomPoints(500, 3);
    cv::Mat rvec;
    cv::Rodrigues(cv::Mat(cam->pose.R), rvec);
    std::vector<cv::Point2d> expected;
    cv::projectPoints(pts, rvec, cv::Mat(cam->pose.t), cam->K(), cam->D(), expected);
    for (size_t i = 0; i < pts.size(); ++i) {
      cv::Point2d px;
      ASSERT_TRUE(cam->project(pts[i], px));
      EXPECT_NEAR(px.x, expected[i].x, 1e-6);
      EXPECT_NEAR(px.y, expected[i].y, 1e-6);
    }
  }
}

TEST(Camera, PointBehindCameraIsNotProjected) {
  const sim::Camera cam = sim::defaultRig().left;
  cv::Point2d px;
  EXPECT_FALSE(cam.project(cam.pose.toWorld({0, 0, -100}), px));
  EXPECT_FALSE(cam.project(cam.pose.centre(), px));
}

TEST(Camera, PixelRayReprojectsOntoItsPixel) {
  const sim::StereoRig rig = sim::defaultRig();
  for (const sim::Camera* cam : {&rig.left, &rig.right}) {
    // Corners, edges and the interior, including sub-pixel positions.
    for (double v : {-0.5, 0.0, 200.25, 511.5, 900.75, 1023.0, 1023.49}) {
      for (double u : {-0.5, 0.0, 13.3, 640.0, 1100.6, 1279.0, 1279.49}) {
        sim::Ray ray;
        ASSERT_TRUE(cam->pixelRay(u, v, ray)) << u << "," << v;
        EXPECT_NEAR(cv::norm(ray.dir), 1.0, 1e-12);
        for (double t : {400.0, 900.0}) {
          cv::Point2d px;
          ASSERT_TRUE(cam->project(ray.origin + t * ray.dir, px));
          EXPECT_NEAR(px.x, u, 1e-6);
          EXPECT_NEAR(px.y, v, 1e-6);
        }
      }
    }
  }
}

TEST(Camera, UndistortInvertsStrongerDistortion) {
  sim::Camera cam;
  cam.k1 = -0.25;
  cam.k2 = 0.12;
  cam.p1 = 0.002;
  cam.p2 = -0.001;
  cam.k3 = -0.01;
  for (double y = -0.35; y <= 0.35; y += 0.07) {
    for (double x = -0.44; x <= 0.44; x += 0.08) {
      double xd, yd, xu, yu;
      cam.distort(x, y, xd, yd);
      ASSERT_TRUE(cam.undistort(xd, yd, xu, yu));
      EXPECT_NEAR(xu, x, 1e-12);
      EXPECT_NEAR(yu, y, 1e-12);
    }
  }
}

TEST(Projector, PatternsFollowTheDecoderConvention) {
  sim::Projector p;  // 1280 wide, 128 periods: P = 10
  ASSERT_DOUBLE_EQ(p.periodPixels(), 10.0);
  float v[sim::kPatternCount];
  for (double u = 0.05; u < p.width; u += 0.37) {
    p.patternValues(u, v);
    EXPECT_EQ(v[0], 0.0f);
    EXPECT_EQ(v[1], 1.0f);
    int g = 0;
    for (int i = 0; i < 7; ++i) g |= (v[2 + i] > 0.5f ? 1 : 0) << (6 - i);
    int c = 0;
    for (int s = g; s; s >>= 1) c ^= s;  // Gray -> binary
    ASSERT_EQ(c, static_cast<int>(std::floor(u / 10))) << u;
    double phi = std::atan2(v[12] - v[10], v[11] - v[9]);
    double expected = 2 * CV_PI * (std::fmod(u, 10.0) / 10.0) - CV_PI;
    double diff = std::remainder(phi - expected, 2 * CV_PI);  // +pi and -pi are one angle
    ASSERT_NEAR(diff, 0.0, 1e-5) << u;
  }
  // The code steps exactly where the phase wraps from +pi to -pi.
  p.patternValues(19.999, v);
  EXPECT_GT(std::atan2(v[12] - v[10], v[11] - v[9]), 3.1);
  p.patternValues(20.001, v);
  EXPECT_LT(std::atan2(v[12] - v[10], v[11] - v[9]), -3.1);
  // Image 2 carries the most significant Gray bit: dark on the left half.
  p.patternValues(100, v);
  EXPECT_EQ(v[2], 0.0f);
  p.patternValues(1000, v);
  EXPECT_EQ(v[2], 1.0f);
}

TEST(StereoRig, DefaultRigMatchesTheHead) {
  const sim::StereoRig rig = sim::defaultRig();
  EXPECT_NEAR(rig.baseline(), 100.0, 1.0);
  EXPECT_EQ(rig.left.width, 1280);
  EXPECT_EQ(rig.left.height, 1024);
  // The projector sits between the cameras.
  const double px = rig.projector.pose.centre()[0];
  EXPECT_GT(px, rig.left.pose.centre()[0]);
  EXPECT_LT(px, rig.right.pose.centre()[0]);
  // Stereo extrinsics map camera 0 coordinates to camera 1 coordinates.
  cv::Vec3d w(30, -20, 700);
  cv::Mat x0(rig.left.pose.toLocal(w)), x1(rig.right.pose.toLocal(w));
  cv::Mat mapped = rig.stereoR() * x0 + rig.stereoT();
  EXPECT_LT(cv::norm(mapped - x1), 1e-9);
}

TEST(StereoRig, RectifiedDisparitiesOverTheWorkingRangeSuitTheDecoder) {
  const sim::StereoRig rig = sim::defaultRig();
  const sim::Rectification r = rig.rectify(false);
  const cv::Matx34d P1(r.P1.ptr<double>()), P2(r.P2.ptr<double>());
  const cv::Matx33d R1(r.R1.ptr<double>());
  for (double z : {500.0, 700.0, 900.0, 950.0}) {
    for (double x : {-150.0, 0.0, 150.0}) {
      cv::Vec3d rect = R1 * rig.left.pose.toLocal({x, 40, z});
      cv::Vec4d X(rect[0], rect[1], rect[2], 1);
      cv::Vec3d a = P1 * X, b = P2 * X;
      EXPECT_NEAR(a[1] / a[2], b[1] / b[2], 1e-6);  // same row after rectification
      double d = a[0] / a[2] - b[0] / b[2];
      EXPECT_GT(d, -300);
      EXPECT_LT(d, 400);
    }
  }
  EXPECT_NEAR(-r.P2.at<double>(0, 3) / r.P2.at<double>(0, 0), rig.baseline(), 1e-6);
}

}  // namespace
