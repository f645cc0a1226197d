#pragma once
// Small rectified image sets with known disparity, for tests that must not
// wait for a full render: planes seen by two rectified cameras lit by the
// fringe patterns of the projector convention (128 Gray-coded periods, four
// phase-shifted fringes), with texture, noise and occlusions.
#include "dec_phsft.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zel::test {

struct SceneOptions {
  int width = 200;
  int height = 40;
  double disparity = 14.0;        // of the near plane, left half
  double farDisparity = 9.0;      // of the far plane, right half
  double disparityPerRow = 0.02;  // slant
  double projectorScale = 0.9;    // projector columns per left pixel
  double codeShift = 0.4;         // Gray code edges displaced against the phase (projector columns)
  int noise = 2;                  // uniform grey-level noise amplitude
  int darkBand = 1;               // a band of left columns with no contrast
  unsigned seed = 1;
};

struct SyntheticScene {
  int width = 0, height = 0;
  std::vector<std::uint8_t> left, right;  // 13 images each, back to back
  std::vector<double> trueDisparity;      // per left pixel, 0 where no surface
  ImagePair pair() const { return {left.data(), right.data()}; }
};

SyntheticScene makeScene(const SceneOptions& o);

// Writes hmat0.dat, hmat1.dat and rect.param for an ideal rectified pair with
// identity maps: focal f, principal point (cx, cy), right camera at +baseline
// along x from the left one, which sits at the world origin.
void writeRectifiedCalibration(const std::string& dir, int width, int height, double f, double cx, double cy,
                               double baseline);

// Writes cam0_param.yaml and cam1_param.yaml for the same ideal pair (no
// distortion, no rotation).
void writeCameraParamFiles(const std::string& dir, int width, int height, double f, double cx, double cy,
                           double baseline);

// A fresh temporary folder (removed by the caller with removeTree).
std::string makeTempDir();
void removeTree(const std::string& dir);

}  // namespace zel::test
