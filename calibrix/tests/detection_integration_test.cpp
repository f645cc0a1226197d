// Detection on 40 rendered 1280 x 1024 board views: tilts up to 45 degrees,
// distances across the working range, blur and noise on.
#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>

#include <cfloat>
#include <cstdio>
#include <random>

#include "calibrix/circle_calib_board.h"
#include "calibrix/tests/board_image.h"

namespace t = calibrix::test;

namespace {

struct View {
  cv::Mat image;
  std::vector<cv::Point2f> truth;
  double tiltDeg;
  double distance;
};

bool insideImage(const t::BoardSpec& spec, const cv::Matx33d& H, cv::Size size, double pad) {
  const double xs[2] = {(-spec.offsetX() - spec.margin) * spec.unit, (spec.originX + spec.margin) * spec.unit};
  const double ys[2] = {(-spec.offsetY() - spec.margin) * spec.unit, (spec.originY + spec.margin) * spec.unit};
  for (double x : xs)
    for (double y : ys) {
      const cv::Vec3d p = H * cv::Vec3d(x, y, 1);
      if (p[2] <= 0) return false;
      const double u = p[0] / p[2], v = p[1] / p[2];
      if (u < pad || v < pad || u > size.width - 1 - pad || v > size.height - 1 - pad) return false;
    }
  return true;
}

std::vector<View> renderViews(int count) {
  const t::BoardSpec spec;
  const cv::Size size(1280, 1024);
  const cv::Matx33d K(1500, 0, 639.5, 0, 1500, 511.5, 0, 0, 1);
  std::mt19937 rng(20261208);
  std::uniform_real_distribution<double> uni(0.0, 1.0);
  std::vector<View> views;
  for (int i = 0; i < count; ++i) {
    const double tilt = 45.0 * i / (count - 1) * M_PI / 180.0;
    const double dir = uni(rng) * 2 * M_PI;
    const double roll = (uni(rng) - 0.5) * 40.0 * M_PI / 180.0;
    cv::Matx33d Rt, Rz;
    cv::Rodrigues(cv::Vec3d(std::cos(dir), std::sin(dir), 0) * tilt, Rt);
    cv::Rodrigues(cv::Vec3d(0, 0, roll), Rz);
    cv::Vec3d rvec;
    cv::Rodrigues(Rz * Rt, rvec);
    // Nearest distance at which the whole board is in view, then somewhere
    // between that and 40 % farther.
    double z = 1500;
    cv::Vec3d tvec(0, 0, z);
    while (!insideImage(spec, t::boardHomography(K, rvec, tvec), size, 8) && z < 8000) {
      z += 20;
      tvec = cv::Vec3d(0, 0, z);
    }
    z *= 1.0 + 0.4 * uni(rng);
    tvec = cv::Vec3d((uni(rng) - 0.5) * 0.05 * z, (uni(rng) - 0.5) * 0.05 * z, z);
    const cv::Matx33d H = t::boardHomography(K, rvec, tvec);
    t::RenderOptions opt;
    opt.supersample = 3;
    opt.blurSigma = 0.8;
    opt.noiseSigma = 3.0;
    opt.seed = static_cast<std::uint64_t>(i + 1);
    views.push_back({t::renderBoard(spec, H, size, opt), t::trueCentres(spec, H), tilt * 180.0 / M_PI, z});
  }
  return views;
}

}  // namespace

TEST(CircleBoardDetectionIntegration, RenderedViewsAreDetectedAccuratelyWithoutWrongIndices) {
  const std::vector<View> views = renderViews(40);
  calibrix::CircleCalibBoard board;
  board.readSettings(nullptr);
  const double spacingFloor = 15.0;  // px: far below any spacing in these views
  int full = 0;
  for (std::size_t v = 0; v < views.size(); ++v) {
    std::vector<cv::Point2f> result;
    ASSERT_TRUE(calibrix::detectCircleBoard(board, views[v].image, result)) << v;
    ASSERT_EQ(result.size(), views[v].truth.size());
    int found = 0;
    double sum = 0, worst = 0;
    for (std::size_t i = 0; i < result.size(); ++i) {
      if (result[i].x == FLT_MAX) continue;
      ++found;
      const double e = cv::norm(result[i] - views[v].truth[i]);
      sum += e;
      worst = std::max(worst, e);
      // A point at another circle's position would be a spacing away.
      EXPECT_LT(e, spacingFloor * 0.25) << "pose " << v << " index " << i;
    }
    const double mean = found ? sum / found : 0.0;
    std::printf(
        "pose %2zu tilt %4.1f deg distance %6.0f: %3d/247 found, mean error %.4f px, "
        "max %.4f px\n",
        v, views[v].tiltDeg, views[v].distance, found, mean, worst);
    if (found == 247) {
      ++full;
      EXPECT_LE(mean, 0.15) << "pose " << v;
    }
  }
  std::printf("fully detected: %d/%zu\n", full, views.size());
  EXPECT_GE(full, 38);
}
