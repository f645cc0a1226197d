// Valid region of the matcher and the marking of the raw disparity map by its
// element type.
#include "decoder/sgbm/disparity_map.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

using zel::markDisparity;
using zel::matcherValidRegion;
using zel::ValidRegion;

TEST(ValidRegion, DefaultsAndTheSignOfTheMinimumDisparity) {
  // Defaults: h = 2, a = max(2, 16) = 16.
  ValidRegion r = matcherValidRegion(5, -16, 256, 1280, 1024);
  EXPECT_EQ(r.x0, 241);
  EXPECT_EQ(r.x1, 1280 - 17);
  EXPECT_EQ(r.y0, 2);
  EXPECT_EQ(r.y1, 1024 - 3);
  // A small negative minimum: the block half wins.
  r = matcherValidRegion(11, -2, 64, 640, 480);
  EXPECT_EQ(r.x0, -2 + 64 - 1 + 5);
  EXPECT_EQ(r.x1, 640 - 5 - 1);
  // A positive minimum shifts the right edge by minD + h.
  r = matcherValidRegion(3, 10, 16, 100, 50);
  EXPECT_EQ(r.x0, 10 + 16 - 1 + 1);
  EXPECT_EQ(r.x1, 100 - 11 - 1);
  EXPECT_EQ(r.y0, 1);
  EXPECT_EQ(r.y1, 48);
  // Even block sizes round the half toward zero, also for negative ones.
  EXPECT_EQ(matcherValidRegion(4, 0, 16, 100, 50).y0, 2);
  EXPECT_EQ(matcherValidRegion(-3, 0, 16, 100, 50).y0, -1);
}

TEST(ValidRegion, ExtremeValuesDoNotOverflow) {
  const ValidRegion r = matcherValidRegion(INT32_MAX, INT32_MIN, INT32_MAX, 100, 50);
  EXPECT_GE(r.x0, r.x1);  // empty, whatever the arithmetic
  std::vector<std::uint8_t> mask(100 * 50, 0);
  std::vector<double> disp(mask.size(), 1.0);
  cv::Mat raw(50, 100, CV_16SC1, cv::Scalar(32));
  ASSERT_TRUE(markDisparity(raw, r, -16, mask.data(), disp.data(), 2));
  for (std::uint8_t m : mask) ASSERT_EQ(m, zel::kMaskOutsideValidRegion);
  for (double d : disp) ASSERT_EQ(d, 0.0);
}

template <typename T>
cv::Mat rowOf(int type, std::initializer_list<T> values) {
  cv::Mat m(3, static_cast<int>(values.size()) + 2, type, cv::Scalar(0));
  int x = 1;
  for (T v : values) m.at<T>(1, x++) = v;
  return m;
}

// Marks a 3-row map whose only valid pixels are the inner columns of row 1.
template <typename T>
std::pair<std::vector<std::uint8_t>, std::vector<double>> mark(const cv::Mat& raw, int minDisparity = -16) {
  std::vector<std::uint8_t> mask(raw.total(), 99);
  std::vector<double> disp(raw.total(), -1.0);
  ValidRegion r{1, raw.cols - 1, 1, 2};
  EXPECT_TRUE(markDisparity(raw, r, minDisparity, mask.data(), disp.data(), 2));
  return {mask, disp};
}

TEST(MarkDisparity, SignedFixedPointAsTheMatcherMakesIt) {
  const cv::Mat raw = rowOf<std::int16_t>(CV_16SC1, {-272, -16, -1, 0, 1, 40, 4095});
  auto [mask, disp] = mark<std::int16_t>(raw);
  const int w = raw.cols;
  for (int x = 0; x < w; ++x) {
    EXPECT_EQ(mask[x], zel::kMaskOutsideValidRegion);
    EXPECT_EQ(mask[2 * w + x], zel::kMaskOutsideValidRegion);
  }
  EXPECT_EQ(mask[w], zel::kMaskOutsideValidRegion);
  EXPECT_EQ(mask[2 * w - 1], zel::kMaskOutsideValidRegion);
  const std::uint8_t expectMask[] = {47, 47, 47, 0, 0, 0, 0};
  const double expectDisp[] = {0, 0, 0, 0.0, 0.0625, 2.5, 255.9375};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(mask[w + 1 + i], expectMask[i]) << i;
    EXPECT_EQ(disp[w + 1 + i], expectDisp[i]) << i;
  }
  for (int x = 0; x < w; ++x) EXPECT_EQ(disp[x], 0.0);
}

TEST(MarkDisparity, NoDisparityOfAPositiveMinimumIsRejectedToo) {
  // With minDisparity 10 the matcher writes 16 * 9 where it finds nothing.
  const cv::Mat raw = rowOf<std::int16_t>(CV_16SC1, {144, 159, 160, 400});
  auto [mask, disp] = mark<std::int16_t>(raw, 10);
  const int w = raw.cols;
  EXPECT_EQ(mask[w + 1], zel::kMaskNegativeDisparity);
  EXPECT_EQ(mask[w + 2], zel::kMaskNegativeDisparity);
  EXPECT_EQ(mask[w + 3], 0);
  EXPECT_EQ(disp[w + 3], 10.0);
  EXPECT_EQ(disp[w + 4], 25.0);
  // A minimum of 0 or below changes nothing against the test for 0.
  auto [mask0, disp0] = mark<std::int16_t>(rowOf<std::int16_t>(CV_16SC1, {-16, 0}), 0);
  EXPECT_EQ(mask0[5], zel::kMaskNegativeDisparity);  // row 1 of a 4-column map starts at 4
  EXPECT_EQ(mask0[6], 0);
  EXPECT_EQ(disp0[6], 0.0);
}

TEST(MarkDisparity, UnsignedAndFloatMaps) {
  {
    auto [mask, disp] = mark<std::uint8_t>(rowOf<std::uint8_t>(CV_8UC1, {0, 255}));
    EXPECT_EQ(mask[5], 0);
    EXPECT_EQ(disp[5], 0.0);
    EXPECT_EQ(disp[6], 255.0 / 16);
  }
  {
    auto [mask, disp] = mark<std::uint16_t>(rowOf<std::uint16_t>(CV_16UC1, {65535, 8}));
    EXPECT_EQ(mask[5], 0);
    EXPECT_EQ(disp[5], 65535.0 / 16);
    EXPECT_EQ(disp[6], 0.5);
  }
  {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    auto [mask, disp] = mark<float>(rowOf<float>(CV_32FC1, {nan, inf, -inf, -0.5f, 0.0f, 24.0f}));
    const std::uint8_t expectMask[] = {48, 48, 48, 47, 0, 0};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(mask[9 + i], expectMask[i]) << i;
    EXPECT_EQ(disp[14], 1.5);
    EXPECT_EQ(disp[9], 0.0);
  }
}

TEST(MarkDisparity, OtherElementTypesAreRefusedUntouched) {
  for (int type : {CV_32SC1, CV_64FC1, CV_16SC2, CV_8SC1}) {
    cv::Mat raw(3, 5, type, cv::Scalar::all(0));
    std::vector<std::uint8_t> mask(15, 99);
    std::vector<double> disp(15, -1.0);
    EXPECT_FALSE(markDisparity(raw, ValidRegion{0, 5, 0, 3}, -16, mask.data(), disp.data(), 2)) << type;
    EXPECT_EQ(mask[7], 99);
    EXPECT_EQ(disp[7], -1.0);
  }
}

}  // namespace
