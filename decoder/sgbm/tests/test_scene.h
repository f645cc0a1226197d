#pragma once
// Small rectified image pairs with a known disparity and the calibration
// files of an ideal rectified rig, for the SGBM decoder's tests.
#include "zel_image_pair.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zel::test {

// The ideal rig: both cameras look along +z, the right one sits baseline
// along +x from the left one (at the world origin); no distortion.
struct IdealRig {
  int width = 320;
  int height = 48;
  double f = 400.0;
  double cx = 160.0;
  double cy = 24.0;
  double baseline = 50.0;
};

// hmat0.dat, hmat1.dat and an identity rect.param (rectification leaves the
// images unchanged), for "coord" 1.
void writeHmatCalibration(const std::string& dir, const IdealRig& rig);
// cam0_param.yaml and cam1_param.yaml of the same rig, for "coord" 0.
void writeCameraParamFiles(const std::string& dir, const IdealRig& rig);

struct ImagePairData {
  int width = 0, height = 0;
  std::vector<std::uint8_t> left, right;
  ImagePair pair() const { return {left.data(), right.data()}; }
};

// A random blob texture (strong enough for the matcher everywhere) seen with
// the given whole-pixel disparity: right(x) = left(x + disparity). Columns
// that would come from outside the left image get fresh texture.
ImagePairData makeShiftedPair(int width, int height, int disparity, unsigned seed = 7);

// A fresh temporary folder ending in "/" (removed by the caller with removeTree).
std::string makeTempDir();
void removeTree(const std::string& dir);
std::string readTextFile(const std::string& path);

}  // namespace zel::test
