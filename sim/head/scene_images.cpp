#include "sim/head/scene_images.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include <opencv2/imgcodecs.hpp>

#include "sim/scene/boards.h"
#include "sim/scene/render_fingerprint.h"
#include "sim/scene/renderer.h"
#include "sim/scene/scene_file.h"

namespace sim::head {
namespace {

void setError(std::string* error, const std::string& text) {
  if (error) *error = text;
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
  RenderHash h;
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

  hashRender(h, p.rig, p.scene, p.settings);
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
  return readWholeFile(path, bytes) && decodeCachedImages(bytes, width, height, out);
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

// Keeps the cache from growing without end: every rebuild of the program
// makes new keys. The newest kKeep renders stay; temporary files left by a
// writer that died are removed after an hour.
void pruneCache(const std::string& dir) {
  constexpr size_t kKeep = 8;
  namespace fs = std::filesystem;
  std::error_code ec;
  std::vector<std::pair<fs::file_time_type, fs::path>> renders;
  const auto now = fs::file_time_type::clock::now();
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& p = it->path();
    std::error_code e2;
    fs::file_time_type t = fs::last_write_time(p, e2);
    if (e2) continue;
    if (p.extension() == ".images") {
      renders.emplace_back(t, p);
    } else if (p.filename().string().rfind(".render-", 0) == 0 && now - t > std::chrono::hours(1)) {
      fs::remove(p, e2);
    }
  }
  if (renders.size() <= kKeep) return;
  std::sort(renders.begin(), renders.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  for (size_t i = kKeep; i < renders.size(); ++i) fs::remove(renders[i].second, ec);
}

}  // namespace

bool decodeCachedImages(const std::string& bytes, int width, int height, SceneImages& out) {
  if (width <= 0 || height <= 0) return false;
  const size_t frame = static_cast<size_t>(width) * static_cast<size_t>(height);
  if (bytes.size() < kHeaderBytes || (bytes.size() - kHeaderBytes) / 2 / kImagesPerCamera != frame ||
      bytes.size() != kHeaderBytes + 2 * kImagesPerCamera * frame)
    return false;
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
  if (options.useCache) {
    // A cache that cannot be written costs the next start a render, nothing more.
    std::string why;
    if (!writeCache(dir, path, out, &why))
      std::fprintf(stderr, "zelsim: render not cached: %s\n", why.c_str());
    else
      pruneCache(dir);
  }
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

bool loadRenderedImages(const std::string& dir, SceneImages& out, std::string* error) {
  SceneImages images;
  for (int c = 0; c < 2; ++c) {
    for (int k = 0; k <= kHeadPatterns; ++k) {
      char name[32];
      if (k < kHeadPatterns)
        std::snprintf(name, sizeof name, "/cam%d_%02d.pgm", c, k);
      else
        std::snprintf(name, sizeof name, "/texture_cam%d.pgm", c);
      const std::string path = dir + name;
      cv::Mat image;
      try {
        image = cv::imread(path, cv::IMREAD_UNCHANGED);
      } catch (const cv::Exception&) {
        image.release();
      }
      if (image.empty() || image.type() != CV_8UC1) {
        if (error) *error = path + ": missing or not an 8-bit grey image";
        return false;
      }
      if (images.width == 0) {
        images.width = image.cols;
        images.height = image.rows;
        for (auto& v : images.images) v.resize(images.frameBytes() * (kHeadPatterns + 1));
      } else if (image.cols != images.width || image.rows != images.height) {
        if (error) *error = path + ": not the size of the others";
        return false;
      }
      uint8_t* dst = images.images[c].data() + images.frameBytes() * static_cast<size_t>(k);
      for (int y = 0; y < image.rows; ++y)
        std::memcpy(dst + static_cast<size_t>(y) * image.cols, image.ptr(y), image.cols);
    }
  }
  out = std::move(images);
  return true;
}

}  // namespace sim::head
