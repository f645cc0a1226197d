#include "apps/zelscan/accuracy.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>
#include <vector>

#include <opencv2/calib3d.hpp>

namespace zelscan {
namespace {

bool readCamera(const std::string& dir, const std::string& name, cv::Mat& K, cv::Mat& D, cv::Mat& R, cv::Mat& T,
                cv::Size& size, std::string* error) {
  std::string path = dir + "/" + name + "_param.yaml";
  cv::FileStorage fs;
  try {
    if (!fs.open(path, cv::FileStorage::READ)) {
      *error = "cannot read " + path;
      return false;
    }
    fs[name + "_K"] >> K;
    fs[name + "_D"] >> D;
    fs[name + "_R"] >> R;
    fs[name + "_T"] >> T;
    std::vector<int> wh;
    fs[name + "_size"] >> wh;
    if (wh.size() == 2) size = cv::Size(wh[0], wh[1]);
  } catch (const cv::Exception& e) {
    *error = path + ": " + e.what();
    return false;
  }
  if (K.rows != 3 || K.cols != 3) {
    *error = path + " has no 3x3 " + name + "_K";
    return false;
  }
  return true;
}

}  // namespace

bool readDecoderFrame(const std::string& dir, DecoderFrame& frame, std::string* error) {
  cv::Mat K0, D0, R0, T0, K1, D1, R1, T1;
  cv::Size size0, size1;
  if (!readCamera(dir, "cam0", K0, D0, R0, T0, size0, error)) return false;
  if (!readCamera(dir, "cam1", K1, D1, R1, T1, size1, error)) return false;
  if (R1.rows != 3 || T1.total() != 3) {
    *error = dir + "/cam1_param.yaml has no stereo cam1_R / cam1_T";
    return false;
  }
  cv::Mat r1, r2, p1, p2, q;
  try {
    cv::stereoRectify(K0, D0, K1, D1, size0, R1, T1, r1, r2, p1, p2, q, 0, -1, size0);
  } catch (const cv::Exception& e) {
    *error = std::string("stereo rectification fails: ") + e.what();
    return false;
  }
  frame.rectifyLeft = cv::Matx33d(r1);
  return true;
}

CloudAccuracy measureCloud(const Cloud& cloud, const DecoderFrame& frame, const sim::StereoRig& rig,
                           const sim::Scene& scene, const sim::GroundTruth& truth, std::uint8_t eligible) {
  CloudAccuracy a;
  a.points = cloud.count;
  const sim::Pose& pose = rig.left.pose;
  const cv::Vec3d centre = pose.centre();
  std::vector<double> dist;
  dist.reserve(cloud.count);
  double rangeSum = 0;
  for (int i = 0; i < cloud.count; ++i) {
    cv::Vec3d rect(cloud.points[3 * i], cloud.points[3 * i + 1], cloud.points[3 * i + 2]);
    cv::Vec3d cam = frame.rectifyLeft.t() * rect;
    cv::Vec3d world = pose.toWorld(cam);
    cv::Vec3d dir = world - centre;
    double range = cv::norm(dir);
    rangeSum += range;
    if (range <= 0) {
      ++a.offSurface;
      continue;
    }
    sim::Ray ray{centre, dir / range};
    sim::Hit hit;
    if (!scene.intersect(ray, 1e-6, 1e9, hit)) {
      ++a.offSurface;
      continue;
    }
    // Distance to the tangent plane of the surface where the viewing ray meets it.
    double d = std::abs(hit.normal.dot(world - hit.point));
    dist.push_back(d);
    if (d > 1.0) ++a.beyond1mm;
  }
  if (!dist.empty()) {
    double s2 = 0;
    for (double d : dist) s2 += d * d;
    a.rmsMm = std::sqrt(s2 / dist.size());
    std::nth_element(dist.begin(), dist.begin() + dist.size() / 2, dist.end());
    a.medianMm = dist[dist.size() / 2];
  }
  if (cloud.count > 0) a.meanDistanceMm = rangeSum / cloud.count;
  if (a.meanDistanceMm > 0) a.rmsPercent = 100.0 * a.rmsMm / a.meanDistanceMm;

  // Completeness on the rectified grid, 5-pixel borders excluded.
  std::vector<char> decoded(static_cast<std::size_t>(truth.width) * truth.height, 0);
  for (std::int32_t p : cloud.pixels) {
    if (p >= 0 && static_cast<std::size_t>(p) < decoded.size()) decoded[p] = 1;
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

bool measureCalibration(const std::string& dir, const sim::StereoRig& rig, CalibrationAccuracy& out,
                        std::string* error) {
  for (int c = 0; c < 2; ++c) {
    cv::Mat K, D, R, T;
    cv::Size size;
    const std::string name = c == 0 ? "cam0" : "cam1";
    if (!readCamera(dir, name, K, D, R, T, size, error)) return false;
    const sim::Camera& truth = c == 0 ? rig.left : rig.right;
    sim::Camera estimate = truth;
    estimate.setK(K);
    if (!D.empty()) estimate.setD(D);
    auto rel = [](double v, double t) { return 100.0 * std::abs(v - t) / std::abs(t); };
    out.focalErrorPercent[c] = std::max(rel(estimate.fx, truth.fx), rel(estimate.fy, truth.fy));
    out.principalErrorPercent[c] = std::max(rel(estimate.cx, truth.cx), rel(estimate.cy, truth.cy));
    // Cast the true ray of each pixel of a grid and project it with the estimate.
    double worst = 0;
    for (int y = 0; y <= truth.height; y += truth.height / 16) {
      for (int x = 0; x <= truth.width; x += truth.width / 16) {
        double xd = (x - truth.cx) / truth.fx, yd = (y - truth.cy) / truth.fy, xn, yn;
        if (!truth.undistort(xd, yd, xn, yn)) continue;
        double xe, ye;
        estimate.distort(xn, yn, xe, ye);
        double px = estimate.fx * xe + estimate.cx, py = estimate.fy * ye + estimate.cy;
        worst = std::max(worst, std::hypot(px - x, py - y));
      }
    }
    out.modelErrorPx[c] = worst;
    if (c == 1) {
      if (T.total() != 3) {
        *error = dir + "/cam1_param.yaml has no cam1_T";
        return false;
      }
      out.baselineMm = cv::norm(T);
    }
  }
  out.trueBaselineMm = rig.baseline();
  out.baselineErrorPercent = 100.0 * std::abs(out.baselineMm - out.trueBaselineMm) / out.trueBaselineMm;
  return true;
}

}  // namespace zelscan
