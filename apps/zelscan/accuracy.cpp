#include "apps/zelscan/accuracy.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>
#include <utility>
#include <vector>

#include <opencv2/calib3d.hpp>

#include "decoder/common/yaml_reader.h"
#include "sim/scene/lens_difference.h"

namespace zelscan {
namespace {

// Reads calibrix's camera parameter file with the guarded YAML reader (a
// damaged file is refused with its cause, never a crash in a parser); an
// absent matrix key leaves its matrix empty.
bool readCamera(const std::string& dir, const std::string& name, cv::Mat& K, cv::Mat& D, cv::Mat& R, cv::Mat& T,
                cv::Size& size, std::string* error) {
  std::string path = dir + "/" + name + "_param.yaml";
  zel::YamlNode root;
  std::string why;
  if (!zel::readYamlFile(path, root, why)) {
    *error = "cannot read " + path + ": " + why;
    return false;
  }
  const std::pair<const char*, cv::Mat*> matrices[] = {{"_K", &K}, {"_D", &D}, {"_R", &R}, {"_T", &T}};
  for (const auto& [suffix, m] : matrices) {
    const zel::YamlNode* node = root.find(name + suffix);
    if (node && !zel::yamlMatrix(*node, 64, *m, why)) {
      *error = path + ": " + name + suffix + " is " + why;
      return false;
    }
  }
  int w = 0, h = 0;
  if (const zel::YamlNode* wh = root.find(name + "_size"); wh && wh->kind == zel::YamlNode::Kind::Sequence &&
                                                           wh->items.size() == 2 && wh->items[0].asInt(w) &&
                                                           wh->items[1].asInt(h) && w > 0 && h > 0) {
    size = cv::Size(w, h);
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

sim::CloudAccuracy measureCloud(const Cloud& cloud, const DecoderFrame& frame, const sim::StereoRig& rig,
                                const sim::Scene& scene, const sim::GroundTruth& truth, std::uint8_t eligible) {
  const int n = std::min<int>(cloud.count, static_cast<int>(std::min(cloud.points.size() / 3, cloud.pixels.size())));
  return sim::measureCloud(cloud.points.data(), cloud.pixels.data(), n, frame.rectifyLeft, rig, scene, truth, eligible);
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
    // The true ray of each pixel of a grid, projected with the estimate, up to
    // a rotation of the camera frame (which the extrinsics take up).
    out.modelErrorPx[c] = sim::lensModelDifference(truth.K(), truth.D(), estimate.K(), estimate.D(),
                                                   sim::imageGrid(truth.width, truth.height), true);
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
