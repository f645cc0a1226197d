#pragma once
// The head's fringe projector: a distortion-free pinhole that shows the 13
// patterns of one 3-D shot.
//
// Projector image coordinates are continuous with u = 0 at the left edge of
// the leftmost column and u = width at the right edge (pixel i covers
// [i, i + 1)); the optics are taken as smooth enough that the patterns are
// functions of the continuous coordinate.
//
// Pattern convention (the one the phase decoder expects):
//   period P = width / 128, code c = floor(u / P), Gray value g = c ^ (c >> 1)
//   image 0: projector off; image 1: full white
//   image 2 + i (i = 0..6): bright where bit (6 - i) of g is set (MSB first)
//   phi = 2 pi ((u mod P) / P) - pi
//   image 9 + k (k = 0..3): A - B cos(phi - k pi / 2), A = B = 1/2
// so that atan2(F3 - F1, F2 - F0) = phi and the code steps where phi wraps.
#include <cmath>

#include "sim/scene/camera.h"

namespace sim {

constexpr int kPatternCount = 13;
constexpr int kGrayBits = 7;
constexpr int kFirstGrayImage = 2;
constexpr int kFirstFringeImage = 9;

class Projector {
 public:
  int width = 1280;
  int height = 800;
  double fx = 1000, fy = 1000, cx = 640, cy = 400;  // edge-based coordinates, see above
  int periods = 128;
  Pose pose;  // world -> projector; looks along +z

  double periodPixels() const { return static_cast<double>(width) / periods; }
  cv::Mat K() const { return (cv::Mat_<double>(3, 3) << fx, 0, cx, 0, fy, cy, 0, 0, 1); }

  // World point -> projector image coordinates; false behind the projector.
  bool project(const cv::Vec3d& world, double& u, double& v) const {
    cv::Vec3d c = pose.toLocal(world);
    if (c[2] <= 0) return false;
    u = fx * c[0] / c[2] + cx;
    v = fy * c[1] / c[2] + cy;
    return true;
  }
  bool inImage(double u, double v) const { return u >= 0 && v >= 0 && u < width && v < height; }

  // Relative intensities (0..1) of all 13 patterns at column u.
  void patternValues(double u, float out[kPatternCount]) const {
    const double P = periodPixels();
    int c = static_cast<int>(std::floor(u / P));
    if (c < 0) c = 0;
    if (c >= periods) c = periods - 1;
    const int g = c ^ (c >> 1);
    out[0] = 0.0f;
    out[1] = 1.0f;
    for (int i = 0; i < kGrayBits; ++i) out[kFirstGrayImage + i] = ((g >> (kGrayBits - 1 - i)) & 1) ? 1.0f : 0.0f;
    double frac = u / P - c;  // (u mod P) / P
    double phi = 2 * CV_PI * frac - CV_PI;
    double s = std::sin(phi), co = std::cos(phi);
    out[kFirstFringeImage + 0] = static_cast<float>(0.5 - 0.5 * co);
    out[kFirstFringeImage + 1] = static_cast<float>(0.5 - 0.5 * s);
    out[kFirstFringeImage + 2] = static_cast<float>(0.5 + 0.5 * co);
    out[kFirstFringeImage + 3] = static_cast<float>(0.5 + 0.5 * s);
  }
};

}  // namespace sim
