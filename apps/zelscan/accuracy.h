#pragma once
// Measures a decoded cloud and a calibration against the virtual head's
// ground truth.
#include <string>

#include "apps/zelscan/decoder_host.h"
#include "sim/scene/cloud_accuracy.h"
#include "sim/scene/ground_truth.h"
#include "sim/scene/scene.h"
#include "sim/scene/stereo_rig.h"

namespace zelscan {

// The calibration a cloud was decoded with, as the decoder sees it: the
// rotation from the left camera's frame into the left rectified frame (the
// frame of coord-0 output).
struct DecoderFrame {
  cv::Matx33d rectifyLeft = cv::Matx33d::eye();
};

// Reads cam0_param.yaml and cam1_param.yaml from dir and repeats the
// decoder's stereo rectification. False with *error when they don't load.
bool readDecoderFrame(const std::string& dir, DecoderFrame& frame, std::string* error);

// Points are in the left rectified frame of `frame`; `truth` is the ground
// truth on the true left rectified grid. A pixel counts for completeness when
// it has every flag of `eligible` (sim::TruthFlag bits).
sim::CloudAccuracy measureCloud(const Cloud& cloud, const DecoderFrame& frame, const sim::StereoRig& rig,
                                const sim::Scene& scene, const sim::GroundTruth& truth, std::uint8_t eligible);

struct CalibrationAccuracy {
  double rms[2] = {0, 0};                    // calibrix's RMS reprojection errors (from its output)
  double focalErrorPercent[2] = {0, 0};      // worst of fx, fy
  double principalErrorPercent[2] = {0, 0};  // worst of cx, cy (relative to the value)
  double modelErrorPx[2] = {0, 0};           // worst reprojection difference of K + D over the image, up to a rotation
  double baselineMm = 0, trueBaselineMm = 0;
  double baselineErrorPercent = 0;
};

bool measureCalibration(const std::string& dir, const sim::StereoRig& rig, CalibrationAccuracy& out,
                        std::string* error);

}  // namespace zelscan
