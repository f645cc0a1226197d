#pragma once
// The images the live virtual head sends: for one scene, the 13 pattern
// images and the textured image of both cameras, rendered once and kept in a
// cache folder, and the exposure model that turns them into "the image of
// camera C now".
//
// This header deliberately includes neither the renderer nor the projector
// state (both define the pattern count): callers that hold a projector can
// include it beside this one.
#include <cstdint>
#include <string>
#include <vector>

namespace sim::head {

inline constexpr int kHeadPatterns = 13;
inline constexpr int kTexturePattern = -1;  // "the projector shows nothing": the textured image

// What to render. Exactly one of sceneName ("demo", "plane", "reference") and
// sceneFile (a pattern scene file) is set.
struct SceneImageOptions {
  std::string sceneName;
  std::string sceneFile;
  int width = 1280, height = 1024;  // camera size; the rig's intrinsics are scaled to it
  int supersample = 0;              // 0: the scene file's setting (3 for built-in scenes)
  int noise = -1;                   // -1: the scene's setting; 0 off, 1 on
  uint64_t seed = 1;
  std::string cacheDir;  // empty: defaultCacheDir()
  bool useCache = true;
  bool progress = false;  // render progress on stderr
};

struct SceneImages {
  int width = 0, height = 0;
  // Per camera: 13 pattern images back to back, then the textured image.
  std::vector<uint8_t> images[2];
  size_t frameBytes() const { return static_cast<size_t>(width) * height; }
  // pattern 0..12 or kTexturePattern.
  const uint8_t* image(int camera, int pattern) const {
    int k = pattern < 0 ? kHeadPatterns : pattern;
    return images[camera].data() + frameBytes() * static_cast<size_t>(k);
  }
};

// $XDG_CACHE_HOME/zelsim, else $HOME/.cache/zelsim, else /tmp/zelsim-<uid>.
std::string defaultCacheDir();

// The cache key: 32 hex digits over the scene as loaded (objects, textures,
// the scene file's bytes), the scaled rig, the render settings and this
// program's own bytes (a changed renderer never serves an old render). False
// with a message when the scene cannot be loaded.
bool sceneImagesKey(const SceneImageOptions& options, std::string* key, std::string* error = nullptr);

// Takes the images from the cache or renders them (and stores them: written
// under a private temporary name, then renamed, so readers never see a part
// file; the newest 8 renders are kept). A cache that cannot be written is
// reported on stderr and costs only the next render. fromCache tells which
// happened. False with a message when the scene cannot be rendered.
bool loadSceneImages(const SceneImageOptions& options, SceneImages& out, std::string* error = nullptr,
                     bool* fromCache = nullptr);

// Takes the images a `zelsim render` of a pattern scene wrote into dir
// (camC_KK.pgm for K = 0..12 and texture_camC.pgm): every one must be there,
// 8-bit and of one size. False with a message naming the file otherwise.
bool loadRenderedImages(const std::string& dir, SceneImages& out, std::string* error = nullptr);

// Decodes a cache file ("ZELSIMIM", uint32 version 1, int32 width, int32
// height, uint32 14, then camera 0's 14 images and camera 1's) made for
// width x height; false (out unchanged) on any mismatch of size or header.
bool decodeCachedImages(const std::string& bytes, int width, int height, SceneImages& out);

// Exposure model of the virtual cameras. The rendered images are what the
// camera sees at the reference exposure and gain; a camera at another
// setting scales every grey level by
//   factor = (exposure / referenceExposure) * (gain / referenceGain)
// rounds to nearest and saturates at 255. At factor 1 the output is the
// rendered image byte for byte.
double exposureFactor(double exposure, double referenceExposure, double gain, double referenceGain);
void applyExposure(const uint8_t* in, uint8_t* out, size_t count, double factor);

}  // namespace sim::head
