#pragma once
// The SGBM decoder's settings record and the reader of its settings file.
#include <cstdint>

namespace zel {

struct SgbmParams {
  std::int32_t imageWidth = 1280;
  std::int32_t imageHeight = 1024;
  std::int32_t qEvec = 0;  // 0: reprojection matrix, otherwise two rays
  std::int32_t coord = 0;  // 0: camera parameter files, 1: projection-matrix files
  // The eleven arguments of cv::StereoSGBM::create, in its argument order.
  std::int32_t minDisparity = -16;
  std::int32_t numDisparities = 256;
  std::int32_t blockSize = 5;
  std::int32_t p1 = 200;
  std::int32_t p2 = 800;
  std::int32_t disp12MaxDiff = -1;
  std::int32_t preFilterCap = 1;
  std::int32_t uniquenessRatio = 15;  // percent
  std::int32_t speckleWindowSize = 100;
  std::int32_t speckleRange = 16;
  std::int32_t mode = 0;
  double evecError = 2.5e-13;  // ray-gap tolerance of the two-ray method

  // A record of zeroes, which is what a failed read leaves.
  static SgbmParams zeroes();
};

// Reads the settings file at path (already resolved) into params: "image_width",
// "image_height", "coord" from "StereoSGBM", then "Q_evec", the eleven matcher
// keys and "evec_error" from "SGBMLIB", in that order. A missing key gives its
// default, an empty or unparsable value 0. False, params untouched, when the
// file does not exist.
bool readSgbmParams(const char* path, SgbmParams& params);

}  // namespace zel
