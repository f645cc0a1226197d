#pragma once
// A fingerprint of a render: everything that decides the rendered pixels
// (scene objects and textures, both cameras and the projector of the rig,
// lighting, sensor and sampling settings). Caches of rendered images are
// keyed by it, so a changed scene, rig or setting never meets an old render.
#include <cstdint>
#include <string>
#include <type_traits>

#include <opencv2/core.hpp>

#include "sim/scene/renderer.h"
#include "sim/scene/stereo_rig.h"

namespace sim {

// 128-bit key from two independent FNV-1a 64 runs (different bases). Not a
// cryptographic hash: it only has to tell renders apart.
class RenderHash {
 public:
  void bytes(const void* data, size_t n);
  void text(const std::string& s);
  template <typename T>
  void value(const T& v) {
    static_assert(std::is_arithmetic_v<T>);
    bytes(&v, sizeof v);
  }
  void mat(const cv::Mat& m);
  // 32 hexadecimal digits.
  std::string hex() const;

 private:
  uint64_t a_ = 0xcbf29ce484222325ULL;
  uint64_t b_ = 0x84222325cbf29ce4ULL;
};

// Adds the scene, the rig and the settings to h.
void hashRender(RenderHash& h, const StereoRig& rig, const Scene& scene, const RenderSettings& settings);

// The fingerprint of one render (32 hexadecimal digits).
std::string renderFingerprint(const StereoRig& rig, const Scene& scene, const RenderSettings& settings);

}  // namespace sim
