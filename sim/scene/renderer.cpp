#include "sim/scene/renderer.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <limits>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "decoder/common/calib_files.h"

namespace sim {
namespace {

// Offsets that keep secondary rays off the surface they start from, mm.
constexpr double kRayEpsilon = 1e-4;

struct Illumination {
  bool lit = false;
  double u = 0, v = 0;
  double irradiance = 0;  // E * cos * (d_ref / d)^2
};

Illumination illuminate(const Projector& proj, const Lighting& light, const Scene& scene, const Hit& hit) {
  Illumination ill;
  cv::Vec3d toProj = proj.pose.centre() - hit.point;
  double dist = cv::norm(toProj);
  if (!(dist > kRayEpsilon)) return ill;
  cv::Vec3d dir = toProj / dist;
  double cosTheta = dir.dot(hit.normal);
  if (cosTheta <= 0) return ill;
  if (!proj.project(hit.point, ill.u, ill.v) || !proj.inImage(ill.u, ill.v)) return ill;
  Ray shadow{hit.point, dir};
  if (scene.occluded(shadow, kRayEpsilon, dist - kRayEpsilon)) return ill;
  ill.lit = true;
  double falloff = light.referenceDistance / dist;
  ill.irradiance = light.projectorGain * cosTheta * falloff * falloff;
  return ill;
}

bool seenFrom(const Camera& cam, const Scene& scene, const Hit& hit) {
  cv::Point2d px;
  if (!cam.project(hit.point, px) || !cam.inImage(px)) return false;
  cv::Vec3d toCam = cam.pose.centre() - hit.point;
  double dist = cv::norm(toCam);
  cv::Vec3d dir = toCam / dist;
  if (dir.dot(hit.normal) <= 0) return false;
  return !scene.occluded(Ray{hit.point, dir}, kRayEpsilon, dist - kRayEpsilon);
}

double rectifiedX(const cv::Matx34d& P, const cv::Vec3d& X) {
  double w = P(2, 0) * X[0] + P(2, 1) * X[1] + P(2, 2) * X[2] + P(2, 3);
  return (P(0, 0) * X[0] + P(0, 1) * X[1] + P(0, 2) * X[2] + P(0, 3)) / w;
}

// Truth of one surface point seen by the left camera at a grid pixel.
void writeTruthPixel(const StereoRig& rig, const Rectification& rect, const Scene& scene, const Hit& hit,
                     bool rectifiedFrame, uint8_t extraFlags, GroundTruth& t, int x, int y) {
  const Illumination ill = illuminate(rig.projector, Lighting{}, scene, hit);
  uint8_t flags = kSurfaceHit | extraFlags;
  if (seenFrom(rig.right, scene, hit)) flags |= kSeenByRight;
  if (ill.lit) {
    flags |= kLitByProjector;
    t.projectorColumn.at<float>(y, x) = static_cast<float>(ill.u);
  }
  const cv::Matx33d R1(rect.R1.ptr<double>());
  const cv::Matx34d P1(rect.P1.ptr<double>()), P2(rect.P2.ptr<double>());
  cv::Vec3d cam = rig.left.pose.toLocal(hit.point);
  cv::Vec3d rectPt = R1 * cam;
  cv::Vec3d out = rectifiedFrame ? rectPt : cam;
  t.flags.at<uint8_t>(y, x) = flags;
  t.depth.at<float>(y, x) = static_cast<float>(out[2]);
  t.xyz.at<cv::Vec3f>(y, x) =
      cv::Vec3f(static_cast<float>(out[0]), static_cast<float>(out[1]), static_cast<float>(out[2]));
  t.disparity.at<float>(y, x) = static_cast<float>(rectifiedX(P1, rectPt) - rectifiedX(P2, rectPt));
}

struct RawTruthContext {
  const Rectification* rect;
  GroundTruth* truth;
};

class Progress {
 public:
  Progress(bool on, const char* what, int total) : on_(on), what_(what), total_(total) {}
  void step() {
    if (!on_) return;
    int done = ++done_;
    int before = (done - 1) * 10 / total_, after = done * 10 / total_;
    if (after != before) std::fprintf(stderr, "zelsim: %s %d%%\n", what_, after * 10);
  }

 private:
  bool on_;
  const char* what_;
  int total_;
  std::atomic<int> done_{0};
};

// Renders radiance (in grey levels, before noise) of the given patterns for
// one camera. Each sub-sample's ray is cast once and shades every pattern.
void renderRadiance(const StereoRig& rig, const Camera& cam, const Scene& scene, const RenderSettings& s,
                    const std::vector<int>& patterns, std::vector<cv::Mat>& out, RawTruthContext* truthCtx,
                    const char* label) {
  const int W = cam.width, H = cam.height;
  const int np = static_cast<int>(patterns.size());
  out.assign(static_cast<size_t>(np), cv::Mat());
  for (cv::Mat& m : out) m.create(H, W, CV_32F);
  const int n = s.supersample;
  const bool centreIsSample = (n % 2) == 1;
  const double scale = s.sensor.fullScale * s.sensor.exposure * s.sensor.gain / (n * n);
  const Lighting& light = s.lighting;
  Progress progress(s.progress, label, H);

#pragma omp parallel for schedule(dynamic, 2)
  for (int y = 0; y < H; ++y) {
    std::vector<double> acc(static_cast<size_t>(np));
    float pv[kPatternCount];
    for (int x = 0; x < W; ++x) {
      std::fill(acc.begin(), acc.end(), 0.0);
      int firstCode = -2;
      bool firstLit = false, mixed = false;
      for (int j = 0; j < n; ++j) {
        for (int i = 0; i < n; ++i) {
          double sx = x + (i + 0.5) / n - 0.5, sy = y + (j + 0.5) / n - 0.5;
          Ray ray;
          Hit hit;
          int code = 0;
          bool lit = false;
          if (cam.pixelRay(sx, sy, ray) && scene.intersect(ray, 0.0, std::numeric_limits<double>::infinity(), hit)) {
            code = hit.object * 8 + hit.face + 1;
            const double albedo = scene.albedo(hit);
            const Illumination ill = illuminate(rig.projector, light, scene, hit);
            lit = ill.lit;
            if (ill.lit) rig.projector.patternValues(ill.u, pv);
            for (int k = 0; k < np; ++k) {
              const int p = patterns[static_cast<size_t>(k)];
              double e = 0;
              if (ill.lit && p != 0) e = ill.irradiance * (light.blackLevel + (1 - light.blackLevel) * pv[p]);
              acc[static_cast<size_t>(k)] += albedo * (light.ambient + e);
            }
            if (truthCtx && centreIsSample && i == n / 2 && j == n / 2)
              writeTruthPixel(rig, *truthCtx->rect, scene, hit, false, kSeenByLeft, *truthCtx->truth, x, y);
          }
          if (firstCode == -2) {
            firstCode = code;
            firstLit = lit;
          } else if (code != firstCode || lit != firstLit) {
            mixed = true;
          }
        }
      }
      for (int k = 0; k < np; ++k)
        out[static_cast<size_t>(k)].at<float>(y, x) = static_cast<float>(acc[static_cast<size_t>(k)] * scale);
      if (truthCtx) {
        if (!centreIsSample) {
          Ray ray;
          Hit hit;
          if (cam.pixelRay(x, y, ray) && scene.intersect(ray, 0.0, std::numeric_limits<double>::infinity(), hit))
            writeTruthPixel(rig, *truthCtx->rect, scene, hit, false, kSeenByLeft, *truthCtx->truth, x, y);
        }
        if (mixed) truthCtx->truth->flags.at<uint8_t>(y, x) |= kMixedPixel;
      }
    }
    progress.step();
  }
}

uint64_t splitmix(uint64_t& state) {
  uint64_t z = (state += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

double uniform01(uint64_t& state) { return ((splitmix(state) >> 11) + 0.5) * (1.0 / 9007199254740992.0); }

// Blur, noise, rounding and saturation. The noise of a row depends only on
// (seed, key, row), so it does not change with the thread count.
cv::Mat finishImage(const cv::Mat& dn, const SensorModel& sensor, uint64_t seed, uint64_t key) {
  cv::Mat src = dn;
  if (sensor.blurSigma > 0)
    cv::GaussianBlur(dn, src, cv::Size(0, 0), sensor.blurSigma, sensor.blurSigma, cv::BORDER_REPLICATE);
  cv::Mat out(dn.size(), CV_8U);
  const double shotScale = sensor.gain / sensor.electronsPerDn;
#pragma omp parallel for schedule(static)
  for (int y = 0; y < src.rows; ++y) {
    uint64_t state = seed * 0x2545f4914f6cdd1dull ^ (key << 20) ^ static_cast<uint64_t>(y);
    splitmix(state);
    const float* s = src.ptr<float>(y);
    uint8_t* d = out.ptr<uint8_t>(y);
    double spare = 0;  // Box-Muller gives two normal deviates per draw
    bool haveSpare = false;
    for (int x = 0; x < src.cols; ++x) {
      double v = s[x];
      if (sensor.noise) {
        double sigma = std::sqrt(sensor.readNoise * sensor.readNoise + std::max(v, 0.0) * shotScale);
        double z;
        if (haveSpare) {
          z = spare;
        } else {
          double r = std::sqrt(-2.0 * std::log(uniform01(state))), a = 2 * CV_PI * uniform01(state);
          z = r * std::cos(a);
          spare = r * std::sin(a);
        }
        haveSpare = !haveSpare;
        v += sigma * z;
      }
      v = std::floor(v + 0.5);
      d[x] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
  }
  return out;
}

bool validSettings(const StereoRig& rig, const RenderSettings& s) {
  return s.supersample >= 1 && s.supersample <= 16 && rig.left.width > 0 && rig.left.height > 0 &&
         rig.right.width == rig.left.width && rig.right.height == rig.left.height && rig.projector.periods > 0 &&
         s.sensor.electronsPerDn > 0 && s.sensor.blurSigma >= 0 && s.sensor.blurSigma < 50;
}

}  // namespace

bool renderPatternSet(const StereoRig& rig, const Scene& scene, const RenderSettings& settings, PatternSet& out,
                      GroundTruth* truth) {
  if (!validSettings(rig, settings)) return false;
  const int W = rig.left.width, H = rig.left.height;
  const size_t frame = static_cast<size_t>(W) * H;
  std::vector<int> patterns(kPatternCount);
  for (int k = 0; k < kPatternCount; ++k) patterns[static_cast<size_t>(k)] = k;
  Rectification rect;
  RawTruthContext ctx{&rect, truth};
  if (truth) {
    rect = rig.rectify(false);
    truth->allocate(TruthGrid::LeftRaw, W, H);
  }
  out.width = W;
  out.height = H;
  out.left.assign(frame * kPatternCount, 0);
  out.right.assign(frame * kPatternCount, 0);
  for (int c = 0; c < 2; ++c) {
    std::vector<cv::Mat> radiance;
    renderRadiance(rig, c == 0 ? rig.left : rig.right, scene, settings, patterns, radiance,
                   c == 0 && truth ? &ctx : nullptr, c == 0 ? "cam0 patterns" : "cam1 patterns");
    std::vector<uint8_t>& dst = c == 0 ? out.left : out.right;
    for (int k = 0; k < kPatternCount; ++k) {
      cv::Mat img = finishImage(radiance[static_cast<size_t>(k)], settings.sensor, settings.seed,
                                static_cast<uint64_t>(c * 64 + k));
      cv::Mat view(H, W, CV_8U, dst.data() + frame * k);
      img.copyTo(view);
    }
  }
  return true;
}

cv::Mat renderImage(const StereoRig& rig, int camera, const Scene& scene, const RenderSettings& settings, int pattern,
                    uint64_t noiseKey) {
  if (!validSettings(rig, settings) || pattern < 0 || pattern >= kPatternCount) return {};
  std::vector<cv::Mat> radiance;
  renderRadiance(rig, camera == 0 ? rig.left : rig.right, scene, settings, {pattern}, radiance, nullptr,
                 camera == 0 ? "cam0" : "cam1");
  return finishImage(radiance[0], settings.sensor, settings.seed,
                     (noiseKey + 1) * 4096 + static_cast<uint64_t>(camera * 64 + pattern));
}

GroundTruth rectifiedTruth(const StereoRig& rig, const Rectification& rect, const Scene& scene) {
  GroundTruth t;
  const int W = rig.left.width, H = rig.left.height;
  t.allocate(TruthGrid::LeftRectified, W, H);
  const cv::Matx33d R1(rect.R1.ptr<double>());
  const cv::Matx34d P1(rect.P1.ptr<double>());
  const double f = P1(0, 0), fy = P1(1, 1), cx = P1(0, 2), cy = P1(1, 2);
  const cv::Vec3d origin = rig.left.pose.centre();
  auto cast = [&](double x, double y, Hit& hit) {
    cv::Vec3d d = R1.t() * cv::Vec3d((x - cx) / f, (y - cy) / fy, 1.0);
    Ray ray{origin, cv::normalize(rig.left.pose.directionToWorld(d))};
    return scene.intersect(ray, 0.0, std::numeric_limits<double>::infinity(), hit);
  };
#pragma omp parallel for schedule(dynamic, 4)
  for (int y = 0; y < H; ++y) {
    for (int x = 0; x < W; ++x) {
      Hit hit;
      if (!cast(x, y, hit)) continue;
      cv::Point2d raw;
      uint8_t extra = 0;
      if (rig.left.project(hit.point, raw) && rig.left.inImage(raw)) extra |= kSeenByLeft;
      // Footprint corners: another surface or face there makes a mixed pixel.
      const int code = hit.object * 8 + hit.face;
      static const double corner[4][2] = {{-0.5, -0.5}, {0.5, -0.5}, {-0.5, 0.5}, {0.5, 0.5}};
      const bool lit = illuminate(rig.projector, Lighting{}, scene, hit).lit;
      for (const auto& c : corner) {
        Hit h2;
        if (!cast(x + c[0], y + c[1], h2) || h2.object * 8 + h2.face != code ||
            illuminate(rig.projector, Lighting{}, scene, h2).lit != lit) {
          extra |= kMixedPixel;
          break;
        }
      }
      writeTruthPixel(rig, rect, scene, hit, true, extra, t, x, y);
    }
  }
  return t;
}

bool writePgm(const std::string& path, const cv::Mat& image) {
  if (image.empty() || image.type() != CV_8U) return false;
  std::vector<uchar> bytes;
  try {
    if (!cv::imencode(".pgm", image, bytes)) return false;
  } catch (const cv::Exception&) {
    return false;
  }
  return calibfiles::writeFileAtomically(path, std::string(bytes.begin(), bytes.end()));
}

}  // namespace sim
