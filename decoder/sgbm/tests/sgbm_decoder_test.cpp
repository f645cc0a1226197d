// The decoding engine on synthetic rectified pairs of known disparity: valid
// region and mask codes, rectification on and off, both point methods, and
// matcher values OpenCV refuses.
#include "decoder/sgbm/sgbm_decoder.h"
#include "decoder/sgbm/tests/test_scene.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

using zel::DecoderOutput;
using zel::SgbmDecoder;
using zel::SgbmParams;
using zel::test::IdealRig;
using zel::test::ImagePairData;

class SgbmEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = zel::test::makeTempDir();
    zel::test::writeHmatCalibration(dir_, rig_);
    zel::test::writeCameraParamFiles(dir_, rig_);
    params_.imageWidth = rig_.width;
    params_.imageHeight = rig_.height;
    params_.coord = 1;
  }
  void TearDown() override { zel::test::removeTree(dir_); }

  void load() {
    ASSERT_TRUE(dec_.loadCalibration(params_, dir_));
    ASSERT_TRUE(dec_.calibrated());
  }
  int run(const ImagePairData& pair, bool rectify = false, std::uint8_t* const buffers[2] = nullptr) {
    return dec_.exec(pair.pair(), pair.pair(), rectify, buffers, params_.qEvec, out_);
  }
  int regionPixels() const {
    const zel::ValidRegion& r = dec_.lastRegion();
    return std::max(0, r.x1 - r.x0) * std::max(0, r.y1 - r.y0);
  }
  int countMask(std::uint8_t code) const {
    return static_cast<int>(std::count(dec_.leftMask().begin(), dec_.leftMask().end(), code));
  }

  IdealRig rig_;
  SgbmParams params_;
  SgbmDecoder dec_;
  DecoderOutput out_;
  std::string dir_;
};

TEST_F(SgbmEngine, DefaultsGiveTheValidRegionAndPointsAtTheTrueDepth) {
  load();
  const ImagePairData pair = zel::test::makeShiftedPair(rig_.width, rig_.height, 20);
  const int n = run(pair);
  const zel::ValidRegion& r = dec_.lastRegion();
  EXPECT_EQ(r.x0, 241);
  EXPECT_EQ(r.x1, rig_.width - 17);
  EXPECT_EQ(r.y0, 2);
  EXPECT_EQ(r.y1, rig_.height - 3);
  const auto& mask = dec_.leftMask();
  for (int y = 0; y < rig_.height; ++y) {
    for (int x = 0; x < rig_.width; ++x) {
      if (!r.contains(x, y)) {
        ASSERT_EQ(mask[y * rig_.width + x], zel::kMaskOutsideValidRegion) << x << "," << y;
      }
    }
  }
  ASSERT_GT(n, 0.9 * regionPixels());
  ASSERT_EQ(out_.count, n);
  const double z = rig_.f * rig_.baseline / 20.0;
  int far = 0;
  for (int i = 0; i < n; ++i) {
    const int px = out_.pixelIndices[i] % rig_.width;
    const int py = out_.pixelIndices[i] / rig_.width;
    ASSERT_TRUE(r.contains(px, py));
    if (i > 0) {
      ASSERT_GT(out_.pixelIndices[i], out_.pixelIndices[i - 1]);
    }
    const float* p = &out_.points[3 * i];
    if (std::abs(p[2] - z) > 0.01 * z) {
      ++far;
      continue;
    }
    EXPECT_NEAR(p[0], (px - rig_.cx) * p[2] / rig_.f, 0.02 * z);
    EXPECT_NEAR(p[1], (py - rig_.cy) * p[2] / rig_.f, 0.02 * z);
    // The colour is the left input's grey value.
    const std::uint8_t grey = pair.left[out_.pixelIndices[i]];
    EXPECT_EQ(out_.colors[3 * i], grey);
    EXPECT_EQ(out_.colors[3 * i + 2], grey);
  }
  EXPECT_LT(far, n / 100);
}

TEST_F(SgbmEngine, NegativeDisparitiesAreMarked47AndGiveNoPoint) {
  load();
  const ImagePairData pair = zel::test::makeShiftedPair(rig_.width, rig_.height, -6);
  const int n = run(pair);
  EXPECT_GT(countMask(zel::kMaskNegativeDisparity), 0.9 * regionPixels());
  EXPECT_LT(n, 0.01 * regionPixels());
}

TEST_F(SgbmEngine, RectificationFillsTheCallersBuffersOnlyWhenAsked) {
  params_.minDisparity = 0;
  params_.numDisparities = 32;
  load();
  const ImagePairData pair = zel::test::makeShiftedPair(rig_.width, rig_.height, 12);
  const std::size_t size = pair.left.size();
  std::vector<std::uint8_t> left(size, 0), right(size, 0);
  std::uint8_t* const buffers[2] = {left.data(), right.data()};

  const int unrectified = run(pair, false, buffers);
  EXPECT_GT(unrectified, 0);
  EXPECT_TRUE(std::all_of(left.begin(), left.end(), [](std::uint8_t v) { return v == 0; }));
  EXPECT_TRUE(std::all_of(right.begin(), right.end(), [](std::uint8_t v) { return v == 0; }));
  EXPECT_EQ(dec_.matcherInput(0).data, pair.left.data());

  // The identity maps of the rig: the rectified images are the raw ones,
  // except the last column and row, whose bilinear source reaches past the
  // raw image and keeps the fill value (left black, right white).
  const int rectified = run(pair, true, buffers);
  EXPECT_GT(rectified, 0.9 * unrectified);
  EXPECT_EQ(dec_.matcherInput(1).data, right.data());
  const int w = rig_.width;
  for (int y = 0; y < rig_.height; ++y) {
    for (int x = 0; x < w; ++x) {
      const std::size_t i = static_cast<std::size_t>(y) * w + x;
      const bool edge = x == w - 1 || y == rig_.height - 1;
      ASSERT_EQ(left[i], edge ? 0 : pair.left[i]) << x << "," << y;
      ASSERT_EQ(right[i], edge ? 255 : pair.right[i]) << x << "," << y;
    }
  }

  // Without caller buffers the engine rectifies into its own.
  EXPECT_EQ(run(pair, true, nullptr), rectified);
}

TEST_F(SgbmEngine, TwoRayMethodAgreesWithReprojection) {
  params_.numDisparities = 64;
  params_.evecError = 1e-6;
  load();
  const ImagePairData pair = zel::test::makeShiftedPair(rig_.width, rig_.height, 9);
  const int n = run(pair);
  ASSERT_GT(n, 0);
  const std::vector<float> reprojected(out_.points.get(), out_.points.get() + 3 * n);
  const std::vector<std::int32_t> indices(out_.pixelIndices.get(), out_.pixelIndices.get() + n);
  params_.qEvec = 1;
  ASSERT_EQ(run(pair), n);
  for (int i = 0; i < n; ++i) {
    ASSERT_EQ(out_.pixelIndices[i], indices[i]);
    for (int k = 0; k < 3; ++k) ASSERT_NEAR(out_.points[3 * i + k], reprojected[3 * i + k], 1e-3) << i;
  }
  // A tolerance no ray pair can meet rejects every pixel with 200.
  params_.evecError = -1.0;
  load();
  EXPECT_EQ(run(pair), 0);
  EXPECT_EQ(countMask(zel::kMaskRayGap), n);
  EXPECT_EQ(out_.count, 0);
  EXPECT_EQ(out_.points, nullptr);
}

TEST_F(SgbmEngine, PointsAtInfinityAreMarked49) {
  // Disparity 0 reprojects to w = 0 on this rig.
  params_.minDisparity = 0;
  params_.numDisparities = 16;
  load();
  const ImagePairData pair = zel::test::makeShiftedPair(rig_.width, rig_.height, 0);
  EXPECT_EQ(run(pair), 0);
  EXPECT_GT(countMask(zel::kMaskSgbmPointNotFinite), 0.9 * regionPixels());
}

TEST_F(SgbmEngine, CameraParameterFilesGiveTheSameDepth) {
  params_.coord = 0;
  params_.numDisparities = 64;
  load();
  const ImagePairData pair = zel::test::makeShiftedPair(rig_.width, rig_.height, 16);
  const int n = run(pair, true);
  ASSERT_GT(n, 0.5 * regionPixels());
  std::vector<float> z;
  for (int i = 0; i < n; ++i) z.push_back(out_.points[3 * i + 2]);
  std::nth_element(z.begin(), z.begin() + n / 2, z.end());
  // The rectified focal length may differ from the raw one; depth does not.
  EXPECT_NEAR(z[n / 2], rig_.f * rig_.baseline / 16.0, 0.02 * rig_.f * rig_.baseline / 16.0);
}

TEST_F(SgbmEngine, MatcherValuesOpenCvRefusesOrCannotSurviveGiveZeroPoints) {
  const ImagePairData pair = zel::test::makeShiftedPair(rig_.width, rig_.height, 10);
  load();
  ASSERT_GT(run(pair), 0);
  struct Values {
    int minDisparity, numDisparities, blockSize, mode;
  };
  auto runWith = [&](const Values& v) {
    params_.minDisparity = v.minDisparity;
    params_.numDisparities = v.numDisparities;
    params_.blockSize = v.blockSize;
    params_.mode = v.mode;
    EXPECT_TRUE(dec_.loadCalibration(params_, dir_));
    return run(pair);
  };
  // Thrown by the matcher (a negative block size in the four-path mode), or
  // values with which OpenCV 4.6 would abort or crash the process: disparity
  // counts below 1, blocks or disparity ranges larger than the image.
  for (const Values v : {Values{-16, 64, -47, 2}, Values{-16, 0, 5, 0}, Values{-16, -1, 5, 0}, Values{-16, -16, 5, 0},
                         Values{-16, 64, 46339, 0}, Values{-16, 64, INT32_MAX, 0}, Values{INT32_MAX, 64, 5, 0},
                         Values{-16, 1 << 20, 5, 2}, Values{INT32_MIN, INT32_MAX, 5, 1}}) {
    EXPECT_EQ(runWith(v), 0) << v.minDisparity << " " << v.numDisparities << " " << v.blockSize << " " << v.mode;
    EXPECT_EQ(out_.count, 0);
    EXPECT_EQ(out_.points, nullptr);
  }
  // Values the matcher takes as they are, even odd ones: no check of our own.
  EXPECT_GT(runWith(Values{-16, 20, 5, 0}), 0);
  EXPECT_GT(runWith(Values{0, 64, 4, 0}), 0);
  EXPECT_GT(runWith(Values{0, 64, 5, 3}), 0);
  EXPECT_EQ(dec_.lastRegion().x0, 63 + 2);
}

TEST_F(SgbmEngine, MissingCalibrationFilesLoadButDecodeNothing) {
  const std::string empty = zel::test::makeTempDir();
  EXPECT_TRUE(dec_.loadCalibration(params_, empty));
  EXPECT_FALSE(dec_.calibrated());
  const ImagePairData pair = zel::test::makeShiftedPair(rig_.width, rig_.height, 10);
  EXPECT_EQ(run(pair, true), 0);
  EXPECT_EQ(run(pair, false), 0);
  // A later load with the files present recovers.
  load();
  EXPECT_GT(run(pair), 0);
  // And a failed one after it drops the calibration again.
  EXPECT_TRUE(dec_.loadCalibration(params_, empty));
  EXPECT_EQ(run(pair), 0);
  zel::test::removeTree(empty);
  // An image size no buffer can have is refused.
  params_.imageWidth = -4;
  EXPECT_FALSE(dec_.loadCalibration(params_, dir_));
}

TEST_F(SgbmEngine, MissingImagesGiveZeroPoints) {
  load();
  EXPECT_EQ(dec_.exec(ImagePair{}, ImagePair{}, true, nullptr, 0, out_), 0);
  EXPECT_EQ(dec_.exec(ImagePair{}, ImagePair{}, false, nullptr, 0, out_), 0);
}

}  // namespace
