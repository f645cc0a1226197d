#pragma once
// From the matcher's raw disparity map to the decoder's mask and disparity
// image: the region where the matcher can give a result, and the marking of
// every left pixel.
#include <opencv2/core.hpp>

#include <cstdint>

namespace zel {

// Mask codes of the matcher stage (0 = valid).
constexpr std::uint8_t kMaskOutsideValidRegion = 46;
constexpr std::uint8_t kMaskNegativeDisparity = 47;
constexpr std::uint8_t kMaskDisparityNaN = 48;
// Reprojection method: the point is not finite (the two-ray method keeps the
// codes 1 and 200 of the shared point stage).
constexpr std::uint8_t kMaskSgbmPointNotFinite = 49;

// Columns [x0, x1) and rows [y0, y1) of the left image where the matcher's
// block and disparity range fit inside both images. May be empty (x0 >= x1
// or y0 >= y1) for extreme settings.
struct ValidRegion {
  int x0 = 0, x1 = 0, y0 = 0, y1 = 0;
  bool contains(int x, int y) const { return x >= x0 && x < x1 && y >= y0 && y < y1; }
};

// The region for the matcher's block size, minimum disparity and number of
// disparities on a width x height image: h = blockSize / 2, x0 = minD + nd -
// 1 + h, x1 = width - a - 1 with a = max(h, -minD) for a negative minD and
// minD + h otherwise, rows h to height - h - 1. Computed in 64 bits, so any
// settings values are safe.
ValidRegion matcherValidRegion(int blockSize, int minDisparity, int numDisparities, int width, int height);

// Marks every pixel of the left mask and fills the disparity image (both
// raw.rows x raw.cols): 46 outside region; inside it 48 for a non-finite value
// (floating-point maps), 47 for a value below 0 or below 16 * minDisparity,
// otherwise 0 with the disparity value / 16 (the matcher's fixed point,
// converted to float, stored as double). Pixels not marked 0 get disparity 0.
// The matcher writes 16 * (minDisparity - 1) where it finds no disparity: with
// a minimum disparity of 0 or below, the test against 0 catches it; with a
// positive one only the second test does, which is why it is there.
// The element type of raw decides how values are read: CV_8U, CV_16U, CV_16S
// or CV_32F, one channel. False, nothing written, for any other type. Rows
// split over threads.
bool markDisparity(const cv::Mat& raw, const ValidRegion& region, int minDisparity, std::uint8_t* leftMask,
                   double* disparity, int threads);

}  // namespace zel
