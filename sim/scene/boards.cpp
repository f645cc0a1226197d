#include "sim/scene/boards.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

#include <opencv2/core.hpp>

#include "decoder/common/calib_files.h"
#include "platform/paths.h"
#include "sim/scene/file_errors.h"

namespace sim {
namespace {

// Board x up, y to the right, z away from the cameras: the long side of the
// default board runs along the image rows.
cv::Matx33d baseAxes() { return cv::Matx33d(0, 1, 0, -1, 0, 0, 0, 0, 1); }

cv::Vec3d boardPoint(const BoardSpec& spec, const BoardPose& pose, int r, int c) {
  cv::Point2d b = spec.centre(r, c);
  return pose.origin + pose.axes * cv::Vec3d(b.x, b.y, 0);
}

// True when the base marker (three double circles and the plain circle
// between origin and X partner) lies well inside both images.
bool baseMarkerVisible(const StereoRig& rig, const BoardSpec& spec, const BoardPose& pose) {
  const int r0 = spec.offsetY(), c0 = spec.offsetX();
  const int cells[4][2] = {{r0, c0}, {r0, c0 + 1}, {r0, c0 + 2}, {r0 + 1, c0}};
  const double margin = 40;
  for (const Camera* cam : {&rig.left, &rig.right}) {
    for (const auto& rc : cells) {
      cv::Point2d px;
      if (!cam->project(boardPoint(spec, pose, rc[0], rc[1]), px)) return false;
      if (px.x < margin || px.y < margin || px.x > cam->width - margin || px.y > cam->height - margin) return false;
    }
  }
  return true;
}

cv::Mat poseMat(const cv::Matx33d& m) { return cv::Mat(m, true); }
cv::Mat vecMat(const cv::Vec3d& v) { return cv::Mat(v, true); }

Scene boardScene(const BoardSpec& spec, const BoardPose& pose) {
  Scene s;
  s.name = "board";
  s.addBoard(spec, pose.axes, pose.origin);
  return s;
}

}  // namespace

BoardSpec defaultBoardSpec() {
  BoardSpec spec;
  spec.unitleng = 25.0;
  return spec;
}

BoardPose referenceBoardPose() {
  BoardPose p;
  p.axes = rotationFromEulerDeg(4, -6, 2) * baseAxes();
  p.origin = {5, -8, 700};
  return p;
}

Scene referencePlaneScene() {
  const BoardPose pose = referenceBoardPose();
  Scene s;
  s.name = "reference";
  const Material m = planeScene().objects.front().material;  // the plain plane's surface
  // The board's z axis points away from the cameras.
  const cv::Vec3d normal(-pose.axes(0, 2), -pose.axes(1, 2), -pose.axes(2, 2));
  s.addPlane(pose.origin, normal, m).name = "reference plane";
  return s;
}

std::vector<BoardPose> boardPoses(const StereoRig& rig, const BoardSpec& spec, int count, uint64_t seed) {
  std::vector<BoardPose> poses;
  std::mt19937_64 rng(seed * 7919 + 17);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int i = 0; i < count; ++i) {
    BoardPose best;
    for (int attempt = 0; attempt < 200; ++attempt) {
      // Distances spread over the working range, tilts up to 45 degrees.
      double d = 550 + 300 * (i + unit(rng)) / std::max(count, 1);
      double tilt = (i % 4 == 3) ? 45.0 : 8.0 + 37.0 * unit(rng);
      double axisAngle = 2 * CV_PI * unit(rng);
      double inPlane = -20 + 40 * unit(rng);
      cv::Vec3d axis(std::cos(axisAngle), std::sin(axisAngle), 0);
      cv::Matx33d tiltR = rotationFromVector(axis * (tilt * CV_PI / 180));
      BoardPose p;
      p.axes = tiltR * rotationFromEulerDeg(0, 0, inPlane) * baseAxes();
      // Shifted sideways far enough that, over the set, the circles reach
      // into the image corners: the lens model is measured, not
      // extrapolated, there.
      p.origin = {(-0.2 + 0.4 * unit(rng)) * d, (-0.17 + 0.34 * unit(rng)) * d, d};
      best = p;
      if (baseMarkerVisible(rig, spec, p)) break;
    }
    poses.push_back(best);
  }
  return poses;
}

void circleCentres(const Camera& cam, const BoardSpec& spec, const BoardPose& pose, std::vector<cv::Point2d>& pixels,
                   std::vector<uint8_t>& visible) {
  const size_t n = static_cast<size_t>(spec.nCirclesX) * spec.nCirclesY;
  pixels.assign(n, cv::Point2d(-1, -1));
  visible.assign(n, 0);
  for (int r = 0; r < spec.nCirclesY; ++r) {
    for (int c = 0; c < spec.nCirclesX; ++c) {
      size_t i = static_cast<size_t>(r) * spec.nCirclesX + c;
      cv::Point2d px;
      if (cam.project(boardPoint(spec, pose, r, c), px)) {
        pixels[i] = px;
        visible[i] = cam.inImage(px) ? 1 : 0;
      }
    }
  }
}

bool writeBoardSettings(const BoardSpec& spec, const std::string& path) {
  std::string text;
  try {
    cv::FileStorage fs(".yaml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_YAML);
    fs << "gamma_correction" << 1.0 << "do_equalize_hist" << 0.0 << "do_smoothing" << 1.0;
    fs << "bin_type" << 1.0 << "bin_param0" << 0.0 << "bin_param1" << 0.0;
    fs << "n_circles_x" << static_cast<double>(spec.nCirclesX);
    fs << "n_circles_y" << static_cast<double>(spec.nCirclesY);
    fs << "origin_x" << static_cast<double>(spec.originX);
    fs << "origin_y" << static_cast<double>(spec.originY);
    fs << "unitleng" << spec.unitleng;
    fs << "distance_between_circles" << 1.2 << "n_circles_minimum" << 9.0;
    fs << "min_rate" << 0.25 << "max_rate" << 2.0 << "fitscore" << 0.95 << "fitrange" << 1.5;
    text = fs.releaseAndGetString();
  } catch (const cv::Exception&) {
    return false;
  }
  return calibfiles::writeFileAtomically(path, text);
}

RenderSettings boardRenderSettings(const RenderSettings& base) {
  RenderSettings s = base;
  s.lighting.ambient = 0.3;
  s.lighting.projectorGain = 0.5;
  return s;
}

bool writeBoardScene(const StereoRig& rig, const BoardSpec& spec, const std::vector<BoardPose>& poses,
                     const RenderSettings& base, const std::string& dir, std::string* error) {
  const std::string split = platform::joinPath(dir, "boards");
  const std::string combined = platform::joinPath(dir, "boards_combined");
  const std::string truthDir = platform::joinPath(dir, "truth");
  if (!makeOutputDir(split, error) || !makeOutputDir(combined, error) || !makeOutputDir(truthDir, error)) return false;
  const RenderSettings settings = boardRenderSettings(base);

  std::string truthText;
  try {
    cv::FileStorage fs(".yaml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_YAML);
    fs.writeComment(
        "True circle centres (distorted pixels, row-major index r * n_circles_x + c, the order of the "
        "detection result) of every board pose. board_R, board_T: board frame in the head's world "
        "frame (columns of board_R are the board axes, board_T the origin circle). camN_R, camN_T: "
        "board to camera N (x_cam = R x_board + T).");
    fs << "image_width" << rig.left.width << "image_height" << rig.left.height;
    fs << "hdrname" << kBoardImageStem;
    fs << "frames" << static_cast<int>(poses.size());
    fs << "n_circles_x" << spec.nCirclesX << "n_circles_y" << spec.nCirclesY;
    fs << "origin_x" << spec.originX << "origin_y" << spec.originY << "unitleng" << spec.unitleng;

    const int total = static_cast<int>(poses.size()) + 1;
    for (int f = -1; f < static_cast<int>(poses.size()); ++f) {
      const BoardPose& pose = f < 0 ? referenceBoardPose() : poses[static_cast<size_t>(f)];
      if (settings.progress) std::fprintf(stderr, "zelsim: board %d of %d\n", f + 2, total);
      const Scene scene = boardScene(spec, pose);
      cv::Mat img[2];
      char name[64];
      for (int c = 0; c < 2; ++c) {
        img[c] = renderImage(rig, c, scene, settings, 1, static_cast<uint64_t>(f + 2));
        if (f < 0)
          std::snprintf(name, sizeof name, "reference_%d.pgm", c);
        else
          std::snprintf(name, sizeof name, "%s%02d_%d.pgm", kBoardImageStem, f, c);
        std::string path = platform::joinPath(split, name);
        if (img[c].empty() || !writePgm(path, img[c])) {
          setError(error, "cannot write " + path);
          return false;
        }
      }
      cv::Mat both;
      cv::hconcat(img[0], img[1], both);
      if (f < 0)
        std::snprintf(name, sizeof name, "reference.pgm");
      else
        std::snprintf(name, sizeof name, "%s%02d.pgm", kBoardImageStem, f);
      std::string path = platform::joinPath(combined, name);
      if (!writePgm(path, both)) {
        setError(error, "cannot write " + path);
        return false;
      }

      char key[32];
      if (f < 0)
        std::snprintf(key, sizeof key, "reference");
      else
        std::snprintf(key, sizeof key, "frame_%02d", f);
      fs << key << "{";
      fs << "board_R" << poseMat(pose.axes) << "board_T" << vecMat(pose.origin);
      for (int c = 0; c < 2; ++c) {
        const Camera& cam = c == 0 ? rig.left : rig.right;
        std::vector<cv::Point2d> px;
        std::vector<uint8_t> vis;
        circleCentres(cam, spec, pose, px, vis);
        cv::Mat pts(static_cast<int>(px.size()), 2, CV_64F);
        for (size_t i = 0; i < px.size(); ++i) {
          pts.at<double>(static_cast<int>(i), 0) = px[i].x;
          pts.at<double>(static_cast<int>(i), 1) = px[i].y;
        }
        std::string p = "cam" + std::to_string(c);
        fs << p + "_R" << poseMat(cam.pose.R * pose.axes);
        fs << p + "_T" << vecMat(cam.pose.R * pose.origin + cam.pose.t);
        fs << p + "_points" << pts;
        fs << p + "_visible" << cv::Mat(vis, true);
      }
      fs << "}";
    }
    truthText = fs.releaseAndGetString();
  } catch (const cv::Exception& e) {
    setError(error, std::string("board truth: ") + e.what());
    return false;
  }
  const std::string boardsTruth = platform::joinPath(truthDir, "boards.yaml");
  if (!calibfiles::writeFileAtomically(boardsTruth, truthText)) {
    setError(error, "cannot write " + boardsTruth);
    return false;
  }
  const std::string settingsPath = platform::joinPath(dir, "board.yaml");
  if (!writeBoardSettings(spec, settingsPath)) {
    setError(error, "cannot write " + settingsPath);
    return false;
  }
  const Rectification rect = rig.rectify(true);
  if (!writeCalibration(rig, rect, platform::joinPath(dir, "calib"), error)) return false;
  if (!writeRigYaml(rig, rect, platform::joinPath(truthDir, "rig.yaml"))) {
    setError(error, "cannot write the rig file");
    return false;
  }
  return true;
}

}  // namespace sim
