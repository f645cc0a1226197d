#include "decoder/sgbm/disparity_map.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <type_traits>

namespace zel {

namespace {

constexpr float kFixedPointScale = 0.0625f;  // the matcher's disparities carry 4 fractional bits

int clampToInt(long long v) { return static_cast<int>(std::clamp<long long>(v, INT32_MIN, INT32_MAX)); }

template <typename T>
void markRows(const cv::Mat& raw, const ValidRegion& r, int minDisparity, std::uint8_t* mask, double* disparity,
              int threads) {
  // Raw values below this are negative or the matcher's "no disparity".
  const double lowest = std::max(0.0, 16.0 * minDisparity);
  const int w = raw.cols;
  const int h = raw.rows;
  // Inside the image, the valid columns of a row; outside them every pixel is 46.
  const int x0 = std::clamp(r.x0, 0, w);
  const int x1 = std::clamp(r.x1, x0, w);
#pragma omp parallel for schedule(static) num_threads(threads)
  for (int y = 0; y < h; ++y) {
    const std::size_t row = static_cast<std::size_t>(y) * w;
    std::uint8_t* m = mask + row;
    double* d = disparity + row;
    if (y < r.y0 || y >= r.y1) {
      std::fill(m, m + w, kMaskOutsideValidRegion);
      std::fill(d, d + w, 0.0);
      continue;
    }
    std::fill(m, m + x0, kMaskOutsideValidRegion);
    std::fill(d, d + x0, 0.0);
    std::fill(m + x1, m + w, kMaskOutsideValidRegion);
    std::fill(d + x1, d + w, 0.0);
    const T* v = raw.ptr<T>(y);
    for (int x = x0; x < x1; ++x) {
      const T value = v[x];
      if constexpr (std::is_floating_point_v<T>) {
        if (!std::isfinite(value)) {
          m[x] = kMaskDisparityNaN;
          d[x] = 0.0;
          continue;
        }
      }
      if (static_cast<double>(value) < lowest) {
        m[x] = kMaskNegativeDisparity;
        d[x] = 0.0;
        continue;
      }
      m[x] = 0;
      d[x] = static_cast<double>(static_cast<float>(value) * kFixedPointScale);
    }
  }
}

}  // namespace

ValidRegion matcherValidRegion(int blockSize, int minDisparity, int numDisparities, int width, int height) {
  const long long half = blockSize / 2;
  const long long minD = minDisparity;
  const long long a = minD < 0 ? std::max(half, -minD) : minD + half;
  ValidRegion r;
  r.x0 = clampToInt(minD + numDisparities - 1 + half);
  r.x1 = clampToInt(width - a - 1);
  r.y0 = clampToInt(half);
  r.y1 = clampToInt(height - half - 1);
  return r;
}

bool markDisparity(const cv::Mat& raw, const ValidRegion& region, int minDisparity, std::uint8_t* leftMask,
                   double* disparity, int threads) {
  switch (raw.type()) {
    case CV_8UC1: markRows<std::uint8_t>(raw, region, minDisparity, leftMask, disparity, threads); return true;
    case CV_16UC1: markRows<std::uint16_t>(raw, region, minDisparity, leftMask, disparity, threads); return true;
    case CV_16SC1: markRows<std::int16_t>(raw, region, minDisparity, leftMask, disparity, threads); return true;
    case CV_32FC1: markRows<float>(raw, region, minDisparity, leftMask, disparity, threads); return true;
    default: return false;
  }
}

}  // namespace zel
