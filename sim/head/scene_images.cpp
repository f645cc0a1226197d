#include "sim/head/scene_images.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "sim/scene/boards.h"
#include "sim/scene/renderer.h"
#include "sim/scene/scene_file.h"

namespace sim::head {
namespace {

void setError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

// 128-bit key from two independent FNV-1a 64 runs (different bases). Not a
// cryptographic hash: it only has to tell renders apart.
class KeyHash {
 public:
  void bytes(const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < n; ++i) {
      a_ = (a_ ^ p[i]) * 0x100000001b3ULL;
      b_ = (b_ ^ p[i]) * 0x100000001b3ULL;
      b_ ^= b_ >> 29;
    }
  }
  void text(const std::string& s) {
    uint64_t n = s.size();
    bytes(&n, sizeof n);
    bytes(s.data(), s.size());
  }
  template <typename T>
  void value(const T& v) {
    static_assert(std::is_arithmetic_v<T>);
    bytes(&v, sizeof v);
  }
  void mat(const cv::Mat& m) {
    value(m.rows);
    value(m.cols);
    value(m.type());
    if (m.empty()) return;
    cv::Mat c = m.isContinuous() ? m : m.clone();
    bytes(c.data, c.total() * c.elemSize());
  }
  std::string hex() const {
    char out[33];
    std::snprintf(out, sizeof out, "%016llx%016llx", static_cast<unsigned long long>(a_),
                  static_cast<unsigned long long>(b_));
    return out;
  }

 private:
  uint64_t a_ = 0xcbf29ce484222325ULL;
  uint64_t b_ = 0x84222325cbf29ce4ULL;
};

void hashPose(KeyHash& h, const Pose& p) {
  for (int i = 0; i < 9; ++i) h.value(p.R.val[i]);
  for (int i = 0; i < 3; ++i) h.value(p.t[i]);
}

void hashCamera(KeyHash& h, const Camera& c) {
  h.value(c.width);
  h.value(c.height);
  for (double v : {c.fx, c.fy, c.cx, c.cy, c.k1, c.k2, c.p1, c.p2, c.k3}) h.value(v);
  hashPose(h, c.pose);
}

void hashScene(KeyHash& h, const Scene& scene) {
  h.text(scene.name);
  h.value(static_cast<uint64_t>(scene.objects.size()));
  for (const Object& o : scene.objects) {
    h.value(static_cast<int>(o.kind));
    for (const cv::Vec3d* v : {&o.centre, &o.u, &o.v, &o.n, &o.half})
      for (int i = 0; i < 3; ++i) h.value((*v)[i]);
    h.value(o.radius);
    h.value(o.texOffset.x);
    h.value(o.texOffset.y);
    const Material& m = o.material;
    h.value(m.albedo);
    const Texture& t = m.texture;
    h.value(static_cast<int>(t.kind));
    h.value(t.scale);
    h.value(t.contrast);
    h.value(t.seed);
    h.mat(t.image);
    h.value(t.mmPerPixel);
    const BoardSpec& b = t.board;
    for (int v : {b.nCirclesX, b.nCirclesY, b.originX, b.originY}) h.value(v);
    for (double v : {b.unitleng, b.circleRadius, b.innerRadius, b.margin, b.whiteAlbedo, b.darkAlbedo}) h.value(v);
    h.text(o.name);
  }
}

void hashSettings(KeyHash& h, const RenderSettings& s) {
  const Lighting& l = s.lighting;
  for (double v : {l.ambient, l.projectorGain, l.referenceDistance, l.blackLevel}) h.value(v);
  const SensorModel& m = s.sensor;
  for (double v : {m.exposure, m.gain, m.fullScale, m.readNoise, m.electronsPerDn, m.blurSigma}) h.value(v);
  h.value(m.noise);
  h.value(s.supersample);
  h.value(s.seed);
}

bool readWholeFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// The default rig with both cameras scaled to width x height (the projector
// keeps its size). Pixel centres sit at integers, so a centre scales as
// (c + 0.5) s - 0.5.
StereoRig scaledRig(int width, int height) {
  StereoRig rig = defaultRig();
  for (Camera* c : {&rig.left, &rig.right}) {
    const double sx = static_cast<double>(width) / c->width;
    const double sy = static_cast<double>(height) / c->height;
    c->fx *= sx;
    c->fy *= sy;
    c->cx = (c->cx + 0.5) * sx - 0.5;
    c->cy = (c->cy + 0.5) * sy - 0.5;
    c->width = width;
    c->height = height;
  }
  return rig;
}

struct Prepared {
  StereoRig rig;
  Scene scene;
  RenderSettings settings;
  std::string key;
};

bool prepare(const SceneImageOptions& o, Prepared& p, std::string* error) {
  if (o.sceneName.empty() == o.sceneFile.empty()) {
    setError(error, "give exactly one of a scene name and a scene file");
    return false;
  }
  if (o.width < 16 || o.height < 16 || o.width > 8192 || o.height > 8192) {
    setError(error, "camera size out of range (16..8192)");
    return false;
  }
  KeyHash h;
  h.text("zelsim scene images 1");
  if (!o.sceneFile.empty()) {
    SceneDescription desc;
    if (!loadSceneFile(o.sceneFile, desc, error)) return false;
    if (desc.kind != SceneDescription::Kind::Pattern) {
      setError(error, o.sceneFile + ": a boards scene has no pattern images to serve");
      return false;
    }
    std::string bytes;
    if (!readWholeFile(o.sceneFile, bytes)) {
      setError(error, "cannot read " + o.sceneFile);
      return false;
    }
    h.text(bytes);
    p.scene = std::move(desc.scene);
    p.settings = desc.settings;
  } else if (o.sceneName == "demo") {
    p.scene = demoScene();
  } else if (o.sceneName == "plane") {
    p.scene = planeScene();
  } else if (o.sceneName == "reference") {
    p.scene = referencePlaneScene();
  } else {
    setError(error, "unknown scene '" + o.sceneName + "' (demo, plane, reference)");
    return false;
  }
  if (o.supersample > 0) p.settings.supersample = o.supersample;
  if (o.noise >= 0) p.settings.sensor.noise = o.noise != 0;
  p.settings.seed = o.seed;
  p.settings.progress = o.progress;
  p.rig = scaledRig(o.width, o.height);

  hashScene(h, p.scene);
  hashCamera(h, p.rig.left);
  hashCamera(h, p.rig.right);
  const Projector& pj = p.rig.projector;
  h.value(pj.width);
  h.value(pj.height);
  for (double v : {pj.fx, pj.fy, pj.cx, pj.cy}) h.value(v);
  h.value(pj.periods);
  hashPose(h, pj.pose);
  hashSettings(h, p.settings);
  // The program's own bytes: a rebuilt renderer must never be served an old
  // render from the cache.
  std::string self;
  if (readWholeFile("/proc/self/exe", self)) h.text(self);
  p.key = h.hex();
  return true;
}

// Cache file: "ZELSIMIM", uint32 version 1, int32 width, int32 height,
// uint32 image count per camera (14), then camera 0's images, camera 1's.
constexpr char kMagic[8] = {'Z', 'E', 'L', 'S', 'I', 'M', 'I', 'M'};
constexpr uint32_t kVersion = 1;
constexpr uint32_t kImagesPerCamera = kHeadPatterns + 1;
constexpr size_t kHeaderBytes = 24;

bool readCache(const std::string& path, int width, int height, SceneImages& out) {
  std::string bytes;
  if (!readWholeFile(path, bytes)) return false;
  const size_t frame = static_cast<size_t>(width) * height;
  if (bytes.size() != kHeaderBytes + 2 * kImagesPerCamera * frame) return false;
  if (std::memcmp(bytes.data(), kMagic, 8) != 0) return false;
  uint32_t version, count;
  int32_t w, h;
  std::memcpy(&version, bytes.data() + 8, 4);
  std::memcpy(&w, bytes.data() + 12, 4);
  std::memcpy(&h, bytes.data() + 16, 4);
  std::memcpy(&count, bytes.data() + 20, 4);
  if (version != kVersion || w != width || h != height || count != kImagesPerCamera) return false;
  out.width = width;
  out.height = height;
  for (int c = 0; c < 2; ++c) {
    const char* start = bytes.data() + kHeaderBytes + c * kImagesPerCamera * frame;
    out.images[c].assign(start, start + kImagesPerCamera * frame);
  }
  return true;
}

bool makePrivateDir(const std::string& dir, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    setError(error, "cannot create cache folder " + dir + ": " + ec.message());
    return false;
  }
  ::chmod(dir.c_str(), 0700);
  return true;
}

bool writeAll(int fd, const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool writeCache(const std::string& dir, const std::string& path, const SceneImages& in, std::string* error) {
  if (!makePrivateDir(dir, error)) return false;
  std::string temp = dir + "/.render-XXXXXX";
  int fd = ::mkstemp(temp.data());  // mode 0600
  if (fd < 0) {
    setError(error, "cannot write into the cache folder " + dir + ": " + std::strerror(errno));
    return false;
  }
  uint8_t header[kHeaderBytes];
  std::memcpy(header, kMagic, 8);
  int32_t w = in.width, h = in.height;
  std::memcpy(header + 8, &kVersion, 4);
  std::memcpy(header + 12, &w, 4);
  std::memcpy(header + 16, &h, 4);
  std::memcpy(header + 20, &kImagesPerCamera, 4);
  bool ok = writeAll(fd, header, sizeof header) && writeAll(fd, in.images[0].data(), in.images[0].size()) &&
            writeAll(fd, in.images[1].data(), in.images[1].size()) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    setError(error, "cannot store the render in " + dir + ": " + std::strerror(errno));
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace

std::string defaultCacheDir() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg && xdg[0] == '/') return std::string(xdg) + "/zelsim";
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return std::string(home) + "/.cache/zelsim";
  return "/tmp/zelsim-" + std::to_string(::getuid());
}

bool sceneImagesKey(const SceneImageOptions& options, std::string* key, std::string* error) {
  Prepared p;
  if (!prepare(options, p, error)) return false;
  *key = p.key;
  return true;
}

bool loadSceneImages(const SceneImageOptions& options, SceneImages& out, std::string* error, bool* fromCache) {
  if (fromCache) *fromCache = false;
  Prepared p;
  if (!prepare(options, p, error)) return false;
  const std::string dir = options.cacheDir.empty() ? defaultCacheDir() : options.cacheDir;
  const std::string path = dir + "/" + p.key + ".images";
  if (options.useCache && readCache(path, options.width, options.height, out)) {
    if (fromCache) *fromCache = true;
    return true;
  }
  PatternSet set;
  if (!renderPatternSet(p.rig, p.scene, p.settings, set)) {
    setError(error, "invalid render settings");
    return false;
  }
  out.width = set.width;
  out.height = set.height;
  const size_t frame = out.frameBytes();
  for (int c = 0; c < 2; ++c) {
    const std::vector<uint8_t>& src = c == 0 ? set.left : set.right;
    out.images[c].assign(src.begin(), src.end());
    // The textured image: projector white with noise of its own, as the
    // textured pair of a rendered scene folder.
    cv::Mat tex = renderImage(p.rig, c, p.scene, p.settings, 1, 1);
    if (tex.empty() || tex.type() != CV_8U || static_cast<size_t>(tex.total()) != frame) {
      setError(error, "the textured image could not be rendered");
      return false;
    }
    cv::Mat t = tex.isContinuous() ? tex : tex.clone();
    out.images[c].insert(out.images[c].end(), t.data, t.data + frame);
  }
  if (options.useCache && !writeCache(dir, path, out, error)) return false;
  return true;
}

double exposureFactor(double exposure, double referenceExposure, double gain, double referenceGain) {
  if (!(referenceExposure > 0) || !(referenceGain > 0)) return 1.0;
  double f = (exposure / referenceExposure) * (gain / referenceGain);
  return std::isfinite(f) && f > 0 ? f : 0.0;
}

void applyExposure(const uint8_t* in, uint8_t* out, size_t count, double factor) {
  if (factor == 1.0) {
    if (in != out) std::memcpy(out, in, count);
    return;
  }
  uint8_t lut[256];
  for (int v = 0; v < 256; ++v) {
    double s = std::nearbyint(v * factor);
    lut[v] = static_cast<uint8_t>(std::clamp(s, 0.0, 255.0));
  }
  for (size_t i = 0; i < count; ++i) out[i] = lut[in[i]];
}

}  // namespace sim::head
