#pragma once
// Writes a rendered pattern scene to a folder:
//   cam0_00.pgm .. cam0_12.pgm, cam1_00.pgm .. cam1_12.pgm   the 13 patterns
//   texture_cam0.pgm, texture_cam1.pgm                        textured pair (SGBM)
//   calib/cam0_param.yaml, cam1_param.yaml, hmat0.dat, hmat1.dat, rect.param
//   truth/left_raw.bin         ground truth on the left raw grid (left camera frame)
//   truth/left_rectified.bin   ground truth on the left rectified grid (rectified frame)
//   truth/points.ply           true cloud: rectified-grid points seen by both cameras and lit
//   truth/rig.yaml             the rig
#include <string>

#include "sim/scene/renderer.h"

namespace sim {

struct PatternSceneFiles {
  static constexpr const char* kRawTruth = "truth/left_raw.bin";
  static constexpr const char* kRectifiedTruth = "truth/left_rectified.bin";
  static constexpr const char* kPoints = "truth/points.ply";
  static constexpr const char* kRig = "truth/rig.yaml";
  static constexpr const char* kCalibDir = "calib";
};

// "cam0_07.pgm" for camera 0, pattern 7.
std::string patternFileName(int camera, int k);

// Renders and writes everything listed above. False with a message on failure.
bool writePatternScene(const StereoRig& rig, const Scene& scene, const RenderSettings& settings, const std::string& dir,
                       std::string* error = nullptr);

// The 13 images of one camera from cam<c>_NN.pgm files in `dir`, back to back
// (the ImagePair layout). False if a file is missing or has another size.
bool readPatternImages(const std::string& dir, int camera, int width, int height, std::vector<uint8_t>& out,
                       std::string* error = nullptr);

// Writes the points of the truth (flags all in `mask`) as a binary PLY.
bool writeTruthPly(const GroundTruth& truth, uint8_t mask, const std::string& path);

}  // namespace sim
