#pragma once
// Ray-casting renderer of the virtual head.
//
// Photometric model per sub-sample, in relative radiance:
//   albedo * (ambient + E * cos * (d_ref / d)^2 * pattern)
// where cos is the angle between the surface normal and the direction to the
// projector, d the distance to it, and pattern the projector's relative
// intensity (blackLevel .. 1; 0 with the projector off). Points in the
// projector's shadow or outside its image get only the ambient term. The
// camera turns radiance into grey levels with fullScale * exposure * gain,
// then (optionally) blurs, adds Gaussian read noise and shot noise, rounds and
// saturates to 8 bits.
#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "sim/scene/ground_truth.h"
#include "sim/scene/scene.h"
#include "sim/scene/stereo_rig.h"

namespace sim {

struct Lighting {
  double ambient = 0.02;           // room light, relative to the projector at d_ref
  double projectorGain = 1.0;      // E
  double referenceDistance = 500;  // d_ref, mm
  double blackLevel = 0.004;       // light a dark projector pixel still emits
};

struct SensorModel {
  double exposure = 1.0;
  double gain = 1.0;
  double fullScale = 280.0;  // grey levels for radiance 1 at exposure 1, gain 1
  bool noise = true;
  double readNoise = 0.6;      // grey levels (sigma)
  double electronsPerDn = 40;  // at gain 1: shot noise sigma = sqrt(DN * gain / electronsPerDn)
  double blurSigma = 0;        // defocus as a Gaussian, pixels; 0 = sharp
};

struct RenderSettings {
  Lighting lighting;
  SensorModel sensor;
  int supersample = 3;  // sub-samples per pixel side (odd: the middle one is the pixel centre)
  uint64_t seed = 1;
  bool progress = false;  // percentage lines on stderr
};

// One 3-D shot: 13 images per camera, each width * height bytes, back to back,
// in pattern order (the layout of the decoders' ImagePair).
struct PatternSet {
  int width = 0, height = 0;
  std::vector<uint8_t> left, right;
  const uint8_t* image(int camera, int k) const {
    const std::vector<uint8_t>& v = camera == 0 ? left : right;
    return v.data() + static_cast<size_t>(k) * width * height;
  }
  cv::Mat imageMat(int camera, int k) const {
    return cv::Mat(height, width, CV_8U, const_cast<uint8_t*>(image(camera, k)));
  }
};

// Renders the 13 pattern images of both cameras. When `truth` is given, it
// receives the ground truth on the left camera's raw grid (from the pixel
// centre sub-sample). False on bad settings.
bool renderPatternSet(const StereoRig& rig, const Scene& scene, const RenderSettings& settings, PatternSet& out,
                      GroundTruth* truth = nullptr);

// Renders one camera (0 left, 1 right) with the projector showing `pattern`
// (0..12); `noiseKey` varies the noise between otherwise equal renders.
cv::Mat renderImage(const StereoRig& rig, int camera, const Scene& scene, const RenderSettings& settings, int pattern,
                    uint64_t noiseKey = 0);

// Ground truth on the left rectified grid (points in the left rectified frame).
GroundTruth rectifiedTruth(const StereoRig& rig, const Rectification& rect, const Scene& scene);

// Writes an 8-bit image as binary PGM through a temporary file.
bool writePgm(const std::string& path, const cv::Mat& image);

}  // namespace sim
