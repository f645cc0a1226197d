#pragma once
// Test helper: writes a calibration image set of an ideal (distortion-free)
// stereo pair looking at the board, in the split or the combined layout.

#include <opencv2/core.hpp>

#include <string>

namespace calibrix::test {

struct StereoSetTruth {
  cv::Matx33d K;
  double baseline;  // right camera centre at (+baseline, 0, 0) of the left one
  cv::Size size;
};

// Frames 0..n-1 plus the reference frame. combined: one image per frame, both
// cameras side by side; else "<hdr>NN_C.pgm".
StereoSetTruth writeStereoSet(const std::string& dir, const std::string& hdr, int n, bool combined,
                              cv::Size size = {640, 512});

}  // namespace calibrix::test
