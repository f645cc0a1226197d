#pragma once
// Accuracy of a decoded point cloud against the virtual head's ground truth:
// completeness on the left rectified grid and the distance of every point to
// the nearest true surface.
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "sim/scene/ground_truth.h"
#include "sim/scene/scene.h"
#include "sim/scene/stereo_rig.h"

namespace sim {

struct CloudAccuracy {
  int points = 0;
  int eligiblePixels = 0;   // rectified pixels with every eligible flag, 5-pixel borders excluded
  int decodedEligible = 0;  // of those, the ones with a point
  double completeness = 0;  // decodedEligible / eligiblePixels
  double rmsMm = 0;         // RMS distance from the points to the nearest true surface
  double medianMm = 0;
  double rmsInliersMm = 0;    // the same without the points beyond 1% of the mean distance
  int grossOutliers = 0;      // points beyond 1% of the mean distance
  int beyond1mm = 0;          // points more than 1 mm from every surface
  double meanDistanceMm = 0;  // mean distance of the points from the left camera centre
  double rmsPercent = 0;      // rmsMm / meanDistanceMm * 100
};

// xyz: count points (3 floats each) in the left rectified frame that
// `rectifyLeft` defines (the rotation from the left camera's frame into it);
// pixels: their indices row * width + column on the truth's grid. `truth` is
// the ground truth on the rectified grid the completeness is counted on.
CloudAccuracy measureCloud(const float* xyz, const std::int32_t* pixels, int count, const cv::Matx33d& rectifyLeft,
                           const StereoRig& rig, const Scene& scene, const GroundTruth& truth, std::uint8_t eligible);

}  // namespace sim
