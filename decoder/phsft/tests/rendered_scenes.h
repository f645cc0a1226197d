#pragma once
// Rendered pattern scenes of the virtual head, cached on disk under the build
// folder so that the several test processes of one run render each scene
// once: images, true calibration files and the rectified ground truth.
#include "sim/scene/ground_truth.h"
#include "sim/scene/scene.h"
#include "sim/scene/stereo_rig.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zel::test {

struct RenderedScene {
  std::string dir;  // holds calib/ and truth/
  int width = 0, height = 0;
  std::vector<std::uint8_t> left, right;
  sim::GroundTruth truth;                        // left rectified grid, left rectified frame
  sim::Scene scene;                              // what was rendered (head frame)
  sim::StereoRig rig;                            // the head it was rendered with
  cv::Matx33d rectifyLeft = cv::Matx33d::eye();  // left camera frame -> left rectified frame
  std::string calibDir() const { return dir + "/calib/"; }
};

// name: "demo", "plane", "mix" (the demo objects nearer, another seed),
// "posts" or "slopes" (both lit from a projector off the baseline).
// False with a message when rendering or reading fails.
bool renderedScene(const std::string& name, RenderedScene& out, std::string& error);

}  // namespace zel::test
