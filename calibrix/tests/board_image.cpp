#include "calibrix/tests/board_image.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace calibrix::test {

cv::Matx33d boardHomography(const cv::Matx33d& K, const cv::Vec3d& rvec, const cv::Vec3d& tvec) {
  cv::Matx33d R;
  cv::Rodrigues(rvec, R);
  cv::Matx33d M(R(0, 0), R(0, 1), tvec[0], R(1, 0), R(1, 1), tvec[1], R(2, 0), R(2, 1), tvec[2]);
  return K * M;
}

cv::Matx33d frontalHomography(const BoardSpec& spec, double pixelsPerUnitStep, cv::Point2d origin, double angleRad) {
  const double s = pixelsPerUnitStep / spec.unit;
  const double c = std::cos(angleRad) * s, n = std::sin(angleRad) * s;
  return cv::Matx33d(c, -n, origin.x, n, c, origin.y, 0, 0, 1);
}

namespace {

enum class Ink { Board, Dark, Background };

Ink inkAt(const BoardSpec& spec, double X, double Y) {
  const double gxf = X / spec.unit, gyf = Y / spec.unit;
  const double minX = -spec.offsetX() - spec.margin, maxX = spec.originX + spec.margin;
  const double minY = -spec.offsetY() - spec.margin, maxY = spec.originY + spec.margin;
  if (gxf < minX || gxf > maxX || gyf < minY || gyf > maxY) return Ink::Background;
  const int gx = static_cast<int>(std::lround(gxf)), gy = static_cast<int>(std::lround(gyf));
  if (gx < -spec.offsetX() || gx > spec.originX || gy < -spec.offsetY() || gy > spec.originY) return Ink::Board;
  const double dx = X - gx * spec.unit, dy = Y - gy * spec.unit;
  const double r2 = dx * dx + dy * dy;
  if (r2 >= spec.radius * spec.radius) return Ink::Board;
  const cv::Point g(gx, gy);
  if (std::find(spec.missing.begin(), spec.missing.end(), g) != spec.missing.end()) return Ink::Board;
  if (r2 < spec.innerRadius * spec.innerRadius &&
      std::find(spec.doubles.begin(), spec.doubles.end(), g) != spec.doubles.end())
    return Ink::Board;
  return Ink::Dark;
}

}  // namespace

cv::Mat renderBoard(const BoardSpec& spec, const cv::Matx33d& H, cv::Size size, const RenderOptions& options) {
  const cv::Matx33d Hi = H.inv();
  const int ss = std::max(1, options.supersample);
  cv::Mat img(size, CV_32F);
  for (int y = 0; y < size.height; ++y) {
    float* row = img.ptr<float>(y);
    for (int x = 0; x < size.width; ++x) {
      double sum = 0.0;
      // Pixel centres are at integer coordinates (the OpenCV convention).
      for (int sy = 0; sy < ss; ++sy) {
        for (int sx = 0; sx < ss; ++sx) {
          const double u = x - 0.5 + (sx + 0.5) / ss, v = y - 0.5 + (sy + 0.5) / ss;
          const double w = Hi(2, 0) * u + Hi(2, 1) * v + Hi(2, 2);
          const double X = (Hi(0, 0) * u + Hi(0, 1) * v + Hi(0, 2)) / w;
          const double Y = (Hi(1, 0) * u + Hi(1, 1) * v + Hi(1, 2)) / w;
          switch (w > 0 ? inkAt(spec, X, Y) : Ink::Background) {
            case Ink::Board: sum += options.light; break;
            case Ink::Dark: sum += options.dark; break;
            case Ink::Background: sum += options.background; break;
          }
        }
      }
      row[x] = static_cast<float>(sum / (ss * ss));
    }
  }
  if (options.blurSigma > 0) cv::GaussianBlur(img, img, cv::Size(0, 0), options.blurSigma);
  if (options.noiseSigma > 0) {
    cv::RNG rng(options.seed);
    cv::Mat noise(size, CV_32F);
    rng.fill(noise, cv::RNG::NORMAL, 0.0, options.noiseSigma);
    img += noise;
  }
  cv::Mat out;
  img.convertTo(out, CV_8U);
  return out;
}

std::vector<cv::Point2f> trueCentres(const BoardSpec& spec, const cv::Matx33d& H) {
  std::vector<cv::Point2f> out(static_cast<std::size_t>(spec.nx * spec.ny));
  for (int r = 0; r < spec.ny; ++r) {
    for (int c = 0; c < spec.nx; ++c) {
      const cv::Vec3d p = H * cv::Vec3d((c - spec.offsetX()) * spec.unit, (r - spec.offsetY()) * spec.unit, 1.0);
      out[static_cast<std::size_t>(r * spec.nx + c)] =
          cv::Point2f(static_cast<float>(p[0] / p[2]), static_cast<float>(p[1] / p[2]));
    }
  }
  return out;
}

}  // namespace calibrix::test
