#include "sim/scene/outputs.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include <opencv2/imgcodecs.hpp>

#include "decoder/common/calib_files.h"
#include "platform/paths.h"
#include "sim/scene/file_errors.h"

namespace sim {
std::string patternFileName(int camera, int k) {
  char name[32];
  std::snprintf(name, sizeof name, "cam%d_%02d.pgm", camera, k);
  return name;
}

bool writeTruthPly(const GroundTruth& truth, uint8_t mask, const std::string& path) {
  std::string body;
  size_t count = 0;
  for (int y = 0; y < truth.height; ++y) {
    for (int x = 0; x < truth.width; ++x) {
      if (!truth.has(x, y, mask)) continue;
      const cv::Vec3f& p = truth.xyz.at<cv::Vec3f>(y, x);
      body.append(reinterpret_cast<const char*>(&p[0]), 3 * sizeof(float));
      ++count;
    }
  }
  std::string frame = truth.grid == TruthGrid::LeftRectified ? "left rectified camera" : "left camera";
  std::string head = "ply\nformat binary_little_endian 1.0\ncomment zelsim ground truth, " + frame +
                     " frame, mm\nelement vertex " + std::to_string(count) +
                     "\nproperty float x\nproperty float y\nproperty float z\nend_header\n";
  return calibfiles::writeFileAtomically(path, head + body);
}

bool writePatternScene(const StereoRig& rig, const Scene& scene, const RenderSettings& settings, const std::string& dir,
                       std::string* error) {
  const std::string truthDir = platform::joinPath(dir, "truth");
  if (!makeOutputDir(dir, error) || !makeOutputDir(truthDir, error)) return false;

  PatternSet set;
  GroundTruth raw;
  if (!renderPatternSet(rig, scene, settings, set, &raw)) {
    setError(error, "invalid render settings");
    return false;
  }
  for (int c = 0; c < 2; ++c) {
    for (int k = 0; k < kPatternCount; ++k) {
      std::string path = platform::joinPath(dir, patternFileName(c, k));
      if (!writePgm(path, set.imageMat(c, k))) {
        setError(error, "cannot write " + path);
        return false;
      }
    }
  }
  for (int c = 0; c < 2; ++c) {
    cv::Mat tex = renderImage(rig, c, scene, settings, 1, 1);
    std::string path = platform::joinPath(dir, "texture_cam" + std::to_string(c) + ".pgm");
    if (tex.empty() || !writePgm(path, tex)) {
      setError(error, "cannot write " + path);
      return false;
    }
  }
  if (settings.progress) std::fprintf(stderr, "zelsim: ground truth\n");
  const Rectification rect = rig.rectify(true);
  if (!writeCalibration(rig, rect, platform::joinPath(dir, PatternSceneFiles::kCalibDir), error)) return false;
  GroundTruth rectified = rectifiedTruth(rig, rect, scene);
  const std::string rawPath = platform::joinPath(dir, PatternSceneFiles::kRawTruth);
  const std::string rectPath = platform::joinPath(dir, PatternSceneFiles::kRectifiedTruth);
  if (!raw.save(rawPath, error) || !rectified.save(rectPath, error)) return false;
  const std::string plyPath = platform::joinPath(dir, PatternSceneFiles::kPoints);
  if (!writeTruthPly(rectified, kSurfaceHit | kSeenByLeft | kSeenByRight | kLitByProjector, plyPath)) {
    setError(error, "cannot write " + plyPath);
    return false;
  }
  const std::string rigPath = platform::joinPath(dir, PatternSceneFiles::kRig);
  if (!writeRigYaml(rig, rect, rigPath)) {
    setError(error, "cannot write " + rigPath);
    return false;
  }
  return true;
}

bool readPatternImages(const std::string& dir, int camera, int width, int height, std::vector<uint8_t>& out,
                       std::string* error) {
  const size_t frame = static_cast<size_t>(width) * height;
  out.assign(frame * kPatternCount, 0);
  for (int k = 0; k < kPatternCount; ++k) {
    std::string path = platform::joinPath(dir, patternFileName(camera, k));
    cv::Mat img = cv::imread(path, cv::IMREAD_GRAYSCALE);
    if (img.empty() || img.cols != width || img.rows != height) {
      setError(error, "missing or wrongly sized " + path);
      return false;
    }
    cv::Mat view(height, width, CV_8U, out.data() + frame * k);
    img.copyTo(view);
  }
  return true;
}

}  // namespace sim
