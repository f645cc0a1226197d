#pragma once
// Calibration board image sets in both layouts the calibration tool reads,
// with the board settings file and the true circle centres.
//
//   boards/calibNN_C.pgm, boards/reference_C.pgm     split layout (C = camera 0, 1)
//   boards_combined/calibNN.pgm, reference.pgm       combined layout (cam0 left half)
//   board.yaml                                       board settings (every key)
//   truth/boards.yaml                                poses and true circle centres
//   calib/, truth/rig.yaml                           the true calibration
#include <string>
#include <vector>

#include "sim/scene/renderer.h"

namespace sim {

constexpr const char* kBoardImageStem = "calib";

// Board frame in the world: columns of `axes` are the board's x, y, z axes;
// `origin` is the origin circle's centre.
struct BoardPose {
  cv::Matx33d axes = cv::Matx33d::eye();
  cv::Vec3d origin = {0, 0, 700};
};

// The board of the `boards` scene: 13 x 19 circles, 25 mm apart, so that it
// fits the view over the working range.
BoardSpec defaultBoardSpec();

// `count` seeded poses over 550..850 mm with tilts up to 45 degrees, shifted
// sideways so that the set reaches into the image corners, each with
// the base marker inside both camera images; and the reference pose
// (fronto-parallel-ish at 700 mm).
std::vector<BoardPose> boardPoses(const StereoRig& rig, const BoardSpec& spec, int count, uint64_t seed);
BoardPose referenceBoardPose();
// A plain plane where the reference board lies: what a scan of the board's
// plane sees, without the circles.
Scene referencePlaneScene();

// The image position (distorted pixels) of every circle centre, row-major
// (index r * nCirclesX + c); `visible` says whether it lies inside the image
// with the board facing the camera.
void circleCentres(const Camera& cam, const BoardSpec& spec, const BoardPose& pose, std::vector<cv::Point2d>& pixels,
                   std::vector<uint8_t>& visible);

// Writes the board settings YAML (all keys of the calibration tool).
bool writeBoardSettings(const BoardSpec& spec, const std::string& path);

// Renders `poses` boards plus the reference and writes everything listed above.
bool writeBoardScene(const StereoRig& rig, const BoardSpec& spec, const std::vector<BoardPose>& poses,
                     const RenderSettings& settings, const std::string& dir, std::string* error = nullptr);

// Lighting and exposure for board images (room light plus the projector's white).
RenderSettings boardRenderSettings(const RenderSettings& base);

}  // namespace sim
