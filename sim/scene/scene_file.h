#pragma once
// User scene files (YAML through cv::FileStorage).
//
//   %YAML:1.0
//   ---
//   type: pattern            # or "boards"
//   render: { supersample: 3, blur_sigma: 0.0, exposure: 1.0, gain: 1.0, ambient: 0.02,
//             projector_gain: 1.0, noise: 1, read_noise: 0.6 }
//   objects:
//     - { type: plane, point: [0, 0, 950], normal: [0, 0, -1], albedo: 0.7,
//         texture: { type: noise, scale: 7, contrast: 0.45, seed: 3 } }
//     - { type: rect, center: [0, 0, 700], size: [200, 300], rotation: [0, 30, 0], albedo: 0.8 }
//     - { type: sphere, center: [0, 0, 650], radius: 80, albedo: 0.8 }
//     - { type: box, center: [0, 0, 800], size: [100, 100, 100], rotation: [10, 20, 0] }
//     - { type: board, origin: [0, 0, 700], rotation: [0, 0, 90] }
//   board: { n_circles_x: 13, n_circles_y: 19, origin_x: 6, origin_y: 9, unitleng: 25 }
//   poses: 10                # boards scenes: number of random poses
//
// Rotations are degrees about x, then y, then z (R = Rz Ry Rx) applied to the
// object's axes (x, y in the surface, z its normal). A texture may also be
// { type: image, path: file.png, mm_per_pixel: 0.5 } (path relative to the
// scene file). Keys not given keep their defaults.
#include <string>

#include "sim/scene/boards.h"

namespace sim {

struct SceneDescription {
  enum class Kind { Pattern, Boards };
  Kind kind = Kind::Pattern;
  Scene scene;
  BoardSpec board = defaultBoardSpec();
  int poses = 0;  // 0: not given
  RenderSettings settings;
};

// Parses a scene file; false with a message naming the problem.
bool loadSceneFile(const std::string& path, SceneDescription& out, std::string* error = nullptr);

}  // namespace sim
