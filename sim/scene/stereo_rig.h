#pragma once
// The virtual head: two cameras and the projector between them, placed in
// the head's world frame (origin midway between the camera centres, x toward
// the right camera, y down, z forward; unit mm).
#include <string>

#include "sim/scene/camera.h"
#include "sim/scene/projector.h"

namespace sim {

// The rectification the decoder performs on loading the camera parameter
// files: cv::stereoRectify (flags 0, alpha -1, new size = image size) and
// cv::initUndistortRectifyMap with float32 maps.
struct Rectification {
  cv::Mat R1, R2, P1, P2, Q;  // double; P1, P2 3x4, Q 4x4
  cv::Rect roi1, roi2;
  cv::Mat map1x, map1y, map2x, map2y;  // CV_32F, image size (only when maps were asked for)
};

struct StereoRig {
  Camera left;   // camera 0, "cam0"
  Camera right;  // camera 1, "cam1"
  Projector projector;

  // Extrinsics in the calibration's convention: x1 = R x0 + T.
  cv::Mat stereoR() const;  // 3x3 double
  cv::Mat stereoT() const;  // 3x1 double
  double baseline() const;

  Rectification rectify(bool withMaps = true) const;
};

// The default head: 1280 x 1024 cameras 100 mm apart, toed in to meet at
// about 800 mm, modest barrel distortion; a 1280 x 800 projector with 128
// fringe periods in the middle. Demo-scene disparities lie in about -40..+110.
StereoRig defaultRig();
// The default head with the projector 60 mm above the cameras' baseline and
// 10 mm to the right of its middle, as in a real head: a pixel hidden from
// the right camera can then meet its own phase on the occluder.
StereoRig offBaselineRig();

// Writes the true calibration into `dir` (created if missing): cam0_param.yaml,
// cam1_param.yaml, hmat0.dat, hmat1.dat, rect.param. False on any failure.
bool writeCalibration(const StereoRig& rig, const Rectification& rect, const std::string& dir,
                      std::string* error = nullptr);

// Writes / reads truth/rig.yaml (cv::FileStorage): image size, K, D and the
// world -> camera R, T of both cameras, the stereo R, T, the projector's size,
// K, R, T and periods, the world frame's description and the rectification.
bool writeRigYaml(const StereoRig& rig, const Rectification& rect, const std::string& path);
bool readRigYaml(const std::string& path, StereoRig& rig, std::string* error = nullptr);

}  // namespace sim
