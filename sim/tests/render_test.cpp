// Full-size renders of the built-in scenes checked against their ground truth.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "decoder/common/calib_files.h"
#include "sim/scene/outputs.h"
#include "sim/scene/renderer.h"

namespace {

struct Rendered {
  sim::PatternSet set;
  sim::GroundTruth truth;
};

sim::RenderSettings noiseless() {
  sim::RenderSettings s;
  s.sensor.noise = false;
  return s;
}

const Rendered& plane() {
  static Rendered r = [] {
    Rendered out;
    EXPECT_TRUE(sim::renderPatternSet(sim::defaultRig(), sim::planeScene(), noiseless(), out.set, &out.truth));
    return out;
  }();
  return r;
}

const Rendered& demo() {
  static Rendered r = [] {
    Rendered out;
    EXPECT_TRUE(sim::renderPatternSet(sim::defaultRig(), sim::demoScene(), noiseless(), out.set, &out.truth));
    return out;
  }();
  return r;
}

// Projector column from the pixel's 13 values by the plain formulas: Gray
// bits against half the white-black contrast, then atan2(F3 - F1, F2 - F0).
double decodeColumn(const sim::PatternSet& set, int camera, int x, int y, double period) {
  auto px = [&](int k) { return static_cast<double>(set.image(camera, k)[y * set.width + x]); };
  const double black = px(0), white = px(1);
  int g = 0;
  for (int i = 0; i < 7; ++i) g |= (px(2 + i) - black > (white - black) / 2 ? 1 : 0) << (6 - i);
  int c = 0;
  for (int s = g; s; s >>= 1) c ^= s;
  double phi = std::atan2(px(12) - px(10), px(11) - px(9));
  return period * (c + (phi + CV_PI) / (2 * CV_PI));
}

TEST(PatternRender, PlaneDecodesToTheProjectorColumnOfEveryLitPixel) {
  const Rendered& r = plane();
  const double P = sim::defaultRig().projector.periodPixels();
  int checked = 0, nearEdge = 0, bad = 0;
  double worst = 0;
  for (int y = 0; y < r.truth.height; y += 1) {
    for (int x = 0; x < r.truth.width; x += 1) {
      if (!r.truth.has(x, y, sim::kSurfaceHit | sim::kLitByProjector)) continue;
      const double truthU = r.truth.projectorColumn.at<float>(y, x);
      const double frac = truthU / P - std::floor(truthU / P);
      // A pixel whose footprint straddles a code edge carries a half-lit Gray
      // bit; the decoder's code/phase alignment deals with those.
      if (frac < 0.03 || frac > 0.97) {
        ++nearEdge;
        continue;
      }
      const double err = std::abs(decodeColumn(r.set, 0, x, y, P) - truthU) / P;
      worst = std::max(worst, err);
      if (err > 0.02) ++bad;
      ++checked;
    }
  }
  EXPECT_GT(checked, 1000000);
  EXPECT_LT(nearEdge, checked / 10);
  EXPECT_EQ(bad, 0) << "worst error " << worst << " periods";

  // The right camera: no right-grid truth is stored, so intersect its pixel
  // rays with the plane z = 700 directly.
  const sim::StereoRig rig = sim::defaultRig();
  checked = 0;
  bad = 0;
  for (int y = 100; y < 1000; y += 37) {
    for (int x = 100; x < 1200; x += 41) {
      sim::Ray ray;
      ASSERT_TRUE(rig.right.pixelRay(x, y, ray));
      double t = (700 - ray.origin[2]) / ray.dir[2];
      cv::Vec3d pt = ray.origin + t * ray.dir;
      double u, v;
      ASSERT_TRUE(rig.projector.project(pt, u, v));
      if (!rig.projector.inImage(u, v)) continue;
      double frac = u / P - std::floor(u / P);
      if (frac < 0.03 || frac > 0.97) continue;
      if (std::abs(decodeColumn(r.set, 1, x, y, P) - u) / P > 0.02) ++bad;
      ++checked;
    }
  }
  EXPECT_GT(checked, 500);
  EXPECT_EQ(bad, 0);
}

TEST(PatternRender, DemoSceneLiesInTheWorkingRangeOfTheDecoder) {
  const sim::StereoRig rig = sim::defaultRig();
  const sim::Rectification rect = rig.rectify(false);
  const sim::GroundTruth t = sim::rectifiedTruth(rig, rect, sim::demoScene());
  double dmin = 1e9, dmax = -1e9, zmin = 1e9, zmax = -1e9;
  int valid = 0;
  const uint8_t all = sim::kSurfaceHit | sim::kSeenByLeft | sim::kSeenByRight | sim::kLitByProjector;
  for (int y = 0; y < t.height; ++y)
    for (int x = 0; x < t.width; ++x) {
      if (!t.has(x, y, all)) continue;
      ++valid;
      dmin = std::min(dmin, static_cast<double>(t.disparity.at<float>(y, x)));
      dmax = std::max(dmax, static_cast<double>(t.disparity.at<float>(y, x)));
      zmin = std::min(zmin, static_cast<double>(t.depth.at<float>(y, x)));
      zmax = std::max(zmax, static_cast<double>(t.depth.at<float>(y, x)));
    }
  EXPECT_GT(valid, 700000);
  EXPECT_GT(dmin, -300);
  EXPECT_LT(dmax, 400);
  EXPECT_GT(zmin, 450);
  EXPECT_LT(zmax, 1000);
  std::printf("demo: disparity %.1f .. %.1f px, depth %.0f .. %.0f mm, %d valid pixels\n", dmin, dmax, zmin, zmax,
              valid);

  // The rectified grid agrees with the raw camera model through the maps the
  // decoder uses: the raw ray at a rectified pixel's map position meets the
  // scene at the point the rectified truth gives.
  const sim::Rectification withMaps = rig.rectify(true);
  const sim::Scene scene = sim::demoScene();
  const cv::Matx33d R1(withMaps.R1.ptr<double>());
  int compared = 0;
  for (int y = 20; y < t.height - 20; y += 23)
    for (int x = 20; x < t.width - 20; x += 27) {
      if (!t.has(x, y, sim::kSurfaceHit | sim::kSeenByLeft) || t.has(x, y, sim::kMixedPixel)) continue;
      sim::Ray ray;
      ASSERT_TRUE(rig.left.pixelRay(withMaps.map1x.at<float>(y, x), withMaps.map1y.at<float>(y, x), ray));
      sim::Hit hit;
      ASSERT_TRUE(scene.intersect(ray, 0, 1e9, hit));
      cv::Vec3d inRect = R1 * rig.left.pose.toLocal(hit.point);
      cv::Vec3f pt = t.xyz.at<cv::Vec3f>(y, x);
      EXPECT_LT(cv::norm(inRect - cv::Vec3d(pt[0], pt[1], pt[2])), 0.05) << x << "," << y;
      ++compared;
    }
  EXPECT_GT(compared, 1000);
}

TEST(PatternRender, DemoShadowsAreDarkLitPixelsHaveContrastNothingSaturates) {
  const Rendered& r = demo();
  const size_t frame = static_cast<size_t>(r.set.width) * r.set.height;
  int shadowed = 0;
  for (int y = 0; y < r.truth.height; ++y)
    for (int x = 0; x < r.truth.width; ++x) {
      if (!r.truth.has(x, y, sim::kSurfaceHit) || r.truth.has(x, y, sim::kLitByProjector) ||
          r.truth.has(x, y, sim::kMixedPixel))
        continue;
      ++shadowed;
      const size_t i = static_cast<size_t>(y) * r.set.width + x;
      const int black = r.set.left[i];
      for (int k = 1; k < 13; ++k) ASSERT_LE(std::abs(r.set.left[frame * k + i] - black), 1) << x << "," << y;
      ASSERT_LT(black, 10);
    }
  EXPECT_GT(shadowed, 5000);  // the sphere and the box cast shadows onto the backdrop

  int lit = 0, lowContrast = 0, saturated = 0;
  for (size_t i = 0; i < frame; ++i) {
    int x = static_cast<int>(i % r.set.width), y = static_cast<int>(i / r.set.width);
    if (!r.truth.has(x, y, sim::kSurfaceHit | sim::kLitByProjector) || r.truth.has(x, y, sim::kMixedPixel)) continue;
    ++lit;
    if (r.set.left[frame + i] - r.set.left[i] < 10) ++lowContrast;
    if (r.set.left[frame + i] == 255) ++saturated;
  }
  EXPECT_GT(lit, 800000);
  EXPECT_LT(lowContrast, lit / 100);
  EXPECT_EQ(saturated, 0);
}

TEST(PatternRender, NoisyDemoStillDecodesAlmostEverywhere) {
  sim::PatternSet set;
  sim::GroundTruth truth;
  ASSERT_TRUE(sim::renderPatternSet(sim::defaultRig(), sim::demoScene(), sim::RenderSettings{}, set, &truth));
  const double P = sim::defaultRig().projector.periodPixels();
  int checked = 0, good = 0;
  for (int y = 0; y < truth.height; y += 2)
    for (int x = 0; x < truth.width; x += 2) {
      if (!truth.has(x, y, sim::kSurfaceHit | sim::kLitByProjector) || truth.has(x, y, sim::kMixedPixel)) continue;
      const double u = truth.projectorColumn.at<float>(y, x);
      const double frac = u / P - std::floor(u / P);
      if (frac < 0.03 || frac > 0.97) continue;
      ++checked;
      if (std::abs(decodeColumn(set, 0, x, y, P) - u) / P < 0.05) ++good;
    }
  EXPECT_GT(checked, 200000);
  EXPECT_GT(good, checked * 99 / 100) << good << " of " << checked;
}

TEST(PatternRender, NoiseIsSeededAndVariesWithTheSeed) {
  sim::StereoRig rig = sim::defaultRig();
  sim::RenderSettings s;
  s.supersample = 1;
  cv::Mat a = sim::renderImage(rig, 0, sim::planeScene(), s, 1);
  cv::Mat b = sim::renderImage(rig, 0, sim::planeScene(), s, 1);
  s.seed = 2;
  cv::Mat c = sim::renderImage(rig, 0, sim::planeScene(), s, 1);
  s.sensor.noise = false;
  cv::Mat clean = sim::renderImage(rig, 0, sim::planeScene(), s, 1);
  EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0);
  EXPECT_GT(cv::norm(a, c, cv::NORM_INF), 0);
  // Shot noise: a few grey levels of spread around the clean image.
  cv::Mat diff;
  cv::subtract(a, clean, diff, cv::noArray(), CV_32F);
  cv::Scalar mean, stddev;
  cv::meanStdDev(diff, mean, stddev);
  EXPECT_NEAR(mean[0], 0.0, 0.1);
  EXPECT_GT(stddev[0], 0.7);
  EXPECT_LT(stddev[0], 3.0);
}

TEST(PatternRender, WrittenSceneMatchesTheInMemoryRenderAndLoads) {
  const std::string dir = (std::filesystem::temp_directory_path() / "zelsim_render_test").string();
  std::filesystem::remove_all(dir);
  std::string error;
  // One sub-sample per pixel keeps the two renders of this test cheap.
  sim::RenderSettings fast = noiseless();
  fast.supersample = 1;
  sim::PatternSet expected;
  sim::GroundTruth expectedTruth;
  ASSERT_TRUE(sim::renderPatternSet(sim::defaultRig(), sim::planeScene(), fast, expected, &expectedTruth));
  ASSERT_TRUE(sim::writePatternScene(sim::defaultRig(), sim::planeScene(), fast, dir, &error)) << error;
  std::vector<uint8_t> left, right;
  ASSERT_TRUE(sim::readPatternImages(dir, 0, 1280, 1024, left, &error)) << error;
  ASSERT_TRUE(sim::readPatternImages(dir, 1, 1280, 1024, right, &error)) << error;
  EXPECT_TRUE(left == expected.left);
  EXPECT_TRUE(right == expected.right);
  sim::GroundTruth raw, rect;
  ASSERT_TRUE(sim::GroundTruth::load(dir + "/truth/left_raw.bin", raw, &error)) << error;
  ASSERT_TRUE(sim::GroundTruth::load(dir + "/truth/left_rectified.bin", rect, &error)) << error;
  EXPECT_EQ(raw.grid, sim::TruthGrid::LeftRaw);
  EXPECT_EQ(rect.grid, sim::TruthGrid::LeftRectified);
  EXPECT_EQ(cv::norm(raw.flags, expectedTruth.flags, cv::NORM_INF), 0);
  // The plane z = 700 (world) seen from the left camera: depth about 700.
  EXPECT_NEAR(raw.depth.at<float>(512, 640), 700, 30);
  EXPECT_EQ(std::filesystem::file_size(dir + "/calib/rect.param"), calibfiles::rectParamFileSize({1280, 1024}));
  cv::Mat tex = cv::imread(dir + "/texture_cam0.pgm", cv::IMREAD_GRAYSCALE);
  EXPECT_EQ(tex.size(), cv::Size(1280, 1024));
  std::ifstream ply(dir + "/truth/points.ply", std::ios::binary);
  std::string magic;
  std::getline(ply, magic);
  EXPECT_EQ(magic, "ply");
  std::filesystem::remove_all(dir);
}

}  // namespace
