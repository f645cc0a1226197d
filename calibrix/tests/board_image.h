#pragma once
// Test helper: renders a circle-grid board seen through a pinhole camera
// (homography of the board plane), anti-aliased by supersampling, with
// optional blur and noise, and gives the true image of every circle centre.

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

namespace calibrix::test {

struct BoardSpec {
  int nx = 13, ny = 19;
  int originX = 6, originY = 9;  // columns / rows on the + side of the origin
  double unit = 60.0;            // centre spacing, board units
  double radius = 60.0 / 2.4;    // circle radius, board units
  double innerRadius = 60.0 / 4.8;
  double margin = 1.0;  // white border around the grid, in spacings
  // Board coordinates (grid steps from the origin) of the double circles.
  std::vector<cv::Point> doubles{{0, 0}, {2, 0}, {0, 1}};
  // Grid positions left blank.
  std::vector<cv::Point> missing;
  int offsetX() const { return nx - originX - 1; }
  int offsetY() const { return ny - originY - 1; }
};

struct RenderOptions {
  int supersample = 4;  // samples per pixel side
  double blurSigma = 0.0;
  double noiseSigma = 0.0;
  double dark = 40, light = 210, background = 90;
  std::uint64_t seed = 1;
};

// Board plane (z = 0, board units) to pixel homography of a camera K looking
// at the board with rotation vector rvec and translation tvec.
cv::Matx33d boardHomography(const cv::Matx33d& K, const cv::Vec3d& rvec, const cv::Vec3d& tvec);

cv::Mat renderBoard(const BoardSpec& spec, const cv::Matx33d& H, cv::Size size, const RenderOptions& options);

// True image positions, row-major nx * ny (grid row r = offsetY + gy).
std::vector<cv::Point2f> trueCentres(const BoardSpec& spec, const cv::Matx33d& H);

// A fronto-parallel view with the given spacing in pixels and origin pixel.
cv::Matx33d frontalHomography(const BoardSpec& spec, double pixelsPerUnitStep, cv::Point2d origin,
                              double angleRad = 0.0);

}  // namespace calibrix::test
