#include "sim/scene/cloud_accuracy.h"

#include <algorithm>
#include <cmath>

namespace sim {

CloudAccuracy measureCloud(const float* xyz, const std::int32_t* pixels, int count, const cv::Matx33d& rectifyLeft,
                           const StereoRig& rig, const Scene& scene, const GroundTruth& truth, std::uint8_t eligible) {
  CloudAccuracy a;
  a.points = std::max(count, 0);
  const Pose& pose = rig.left.pose;
  const cv::Vec3d centre = pose.centre();
  const cv::Matx33d toCamera = rectifyLeft.t();
  std::vector<double> dist(static_cast<std::size_t>(a.points));
  double rangeSum = 0;
#pragma omp parallel for reduction(+ : rangeSum) schedule(static)
  for (int i = 0; i < a.points; ++i) {
    const cv::Vec3d rect(xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2]);
    const cv::Vec3d world = pose.toWorld(toCamera * rect);
    rangeSum += cv::norm(world - centre);
    dist[static_cast<std::size_t>(i)] = scene.distanceToSurface(world);
  }
  if (a.points > 0) {
    a.meanDistanceMm = rangeSum / a.points;
    const double gross = 0.01 * a.meanDistanceMm;
    double s2 = 0, s2In = 0;
    int in = 0;
    for (double d : dist) {
      s2 += d * d;
      if (d > 1.0) ++a.beyond1mm;
      if (d > gross) {
        ++a.grossOutliers;
      } else {
        s2In += d * d;
        ++in;
      }
    }
    a.rmsMm = std::sqrt(s2 / a.points);
    a.rmsInliersMm = in ? std::sqrt(s2In / in) : 0;
    std::nth_element(dist.begin(), dist.begin() + dist.size() / 2, dist.end());
    a.medianMm = dist[dist.size() / 2];
    a.rmsPercent = 100.0 * a.rmsMm / a.meanDistanceMm;
  }

  std::vector<char> decoded(static_cast<std::size_t>(truth.width) * truth.height, 0);
  for (int i = 0; i < a.points; ++i) {
    const std::int32_t p = pixels[i];
    if (p >= 0 && static_cast<std::size_t>(p) < decoded.size()) decoded[static_cast<std::size_t>(p)] = 1;
  }
  for (int y = 5; y < truth.height - 5; ++y) {
    for (int x = 5; x < truth.width - 5; ++x) {
      if (!truth.has(x, y, eligible)) continue;
      ++a.eligiblePixels;
      if (decoded[static_cast<std::size_t>(y) * truth.width + x]) ++a.decodedEligible;
    }
  }
  if (a.eligiblePixels > 0) a.completeness = static_cast<double>(a.decodedEligible) / a.eligiblePixels;
  return a;
}

}  // namespace sim
