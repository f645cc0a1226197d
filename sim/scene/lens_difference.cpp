#include "sim/scene/lens_difference.h"

#include <opencv2/calib3d.hpp>

#include <algorithm>

namespace sim {

std::vector<cv::Point2f> imageGrid(int width, int height) {
  std::vector<cv::Point2f> grid;
  for (int j = 0; j <= 16; ++j)
    for (int i = 0; i <= 20; ++i)
      grid.emplace_back(static_cast<float>((width - 1) * i / 20.0), static_cast<float>((height - 1) * j / 16.0));
  return grid;
}

double lensModelDifference(const cv::Mat& trueK, const cv::Mat& trueD, const cv::Mat& K, const cv::Mat& D,
                           const std::vector<cv::Point2f>& pixels, bool alignRotation) {
  if (pixels.empty()) return 0.0;
  std::vector<cv::Point2f> rays;
  cv::undistortPoints(pixels, rays, trueK, trueD, cv::noArray(), cv::noArray(),
                      cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-12));
  std::vector<cv::Point3f> rays3;
  rays3.reserve(rays.size());
  for (const auto& q : rays) rays3.emplace_back(q.x, q.y, 1.0f);
  const cv::Mat zero = cv::Mat::zeros(3, 1, CV_64F);
  auto project = [&](const cv::Vec3d& w, std::vector<cv::Point2f>& out) {
    cv::projectPoints(rays3, cv::Mat(w), zero, K, D, out);
  };
  // Gauss-Newton on the rotation vector; the rotation is a few milliradians
  // at most, so a handful of steps converge.
  cv::Vec3d w(0, 0, 0);
  const int rows = static_cast<int>(2 * pixels.size());
  std::vector<cv::Point2f> at, moved;
  for (int it = 0; alignRotation && it < 5; ++it) {
    project(w, at);
    cv::Mat J(rows, 3, CV_64F), r(rows, 1, CV_64F);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
      r.at<double>(static_cast<int>(2 * i)) = pixels[i].x - at[i].x;
      r.at<double>(static_cast<int>(2 * i + 1)) = pixels[i].y - at[i].y;
    }
    constexpr double h = 1e-6;
    for (int k = 0; k < 3; ++k) {
      cv::Vec3d step = w;
      step[k] += h;
      project(step, moved);
      for (std::size_t i = 0; i < pixels.size(); ++i) {
        J.at<double>(static_cast<int>(2 * i), k) = (moved[i].x - at[i].x) / h;
        J.at<double>(static_cast<int>(2 * i + 1), k) = (moved[i].y - at[i].y) / h;
      }
    }
    cv::Mat dw;
    if (!cv::solve(J, r, dw, cv::DECOMP_SVD)) break;
    w += cv::Vec3d(dw.at<double>(0), dw.at<double>(1), dw.at<double>(2));
  }
  project(w, at);
  double worst = 0;
  for (std::size_t i = 0; i < pixels.size(); ++i)
    worst = std::max(worst, static_cast<double>(cv::norm(pixels[i] - at[i])));
  return worst;
}

}  // namespace sim
