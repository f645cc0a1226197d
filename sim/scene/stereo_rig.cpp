#include "sim/scene/stereo_rig.h"

#include <filesystem>
#include <system_error>

#include <opencv2/calib3d.hpp>

#include "decoder/common/calib_files.h"
#include "platform/paths.h"
#include "sim/scene/file_errors.h"

namespace sim {
namespace {

cv::Mat toMat(const cv::Matx33d& m) { return cv::Mat(m, true); }
cv::Mat toMat(const cv::Vec3d& v) { return cv::Mat(v, true); }

}  // namespace

cv::Mat StereoRig::stereoR() const { return toMat(right.pose.R * left.pose.R.t()); }

cv::Mat StereoRig::stereoT() const {
  cv::Matx33d R = right.pose.R * left.pose.R.t();
  return toMat(right.pose.t - R * left.pose.t);
}

double StereoRig::baseline() const { return cv::norm(right.pose.centre() - left.pose.centre()); }

Rectification StereoRig::rectify(bool withMaps) const {
  Rectification r;
  const cv::Size size(left.width, left.height);
  cv::stereoRectify(left.K(), left.D(), right.K(), right.D(), size, stereoR(), stereoT(), r.R1, r.R2, r.P1, r.P2, r.Q,
                    0, -1, size, &r.roi1, &r.roi2);
  if (withMaps) {
    cv::initUndistortRectifyMap(left.K(), left.D(), r.R1, r.P1(cv::Rect(0, 0, 3, 3)), size, CV_32FC1, r.map1x, r.map1y);
    cv::initUndistortRectifyMap(right.K(), right.D(), r.R2, r.P2(cv::Rect(0, 0, 3, 3)), size, CV_32FC1, r.map2x,
                                r.map2y);
  }
  return r;
}

StereoRig defaultRig() {
  StereoRig rig;
  const double halfBase = 50.0;
  const double convergence = 2000.0;
  const double toeIn = std::atan(halfBase / convergence) * 180.0 / CV_PI;

  Camera& l = rig.left;
  l.width = 1280;
  l.height = 1024;
  l.fx = 1450.0;
  l.fy = 1450.0;
  l.cx = 636.8;
  l.cy = 514.3;
  l.k1 = -0.085;
  l.k2 = 0.11;
  l.p1 = 0.0006;
  l.p2 = -0.0004;
  l.k3 = 0.0;
  // Camera axes in the world: toed in about y to meet at 2 m, so that the
  // rectified disparities of the working range (500-950 mm) are all positive
  // and inside the default searches of both decoders (a small roll
  // and pitch as a real mounting has).
  cv::Matx33d axesL = rotationFromEulerDeg(0.3, toeIn, -0.2);
  l.pose = Pose::fromPlacement(axesL, {-halfBase, 0.0, 0.0});

  Camera& r = rig.right;
  r.width = 1280;
  r.height = 1024;
  r.fx = 1457.0;
  r.fy = 1457.0;
  r.cx = 643.1;
  r.cy = 509.6;
  r.k1 = -0.079;
  r.k2 = 0.095;
  r.p1 = -0.0003;
  r.p2 = 0.0005;
  r.k3 = 0.0;
  cv::Matx33d axesR = rotationFromEulerDeg(-0.25, -toeIn, 0.15);
  r.pose = Pose::fromPlacement(axesR, {halfBase, 0.4, -0.3});

  Projector& p = rig.projector;
  p.width = 1280;
  p.height = 800;
  p.fx = 1000.0;
  p.fy = 1000.0;
  p.cx = 640.0;
  p.cy = 400.0;
  p.periods = 128;
  p.pose = Pose::fromPlacement(rotationFromEulerDeg(0.0, 0.0, 0.0), {0.0, -20.0, 0.0});
  return rig;
}

StereoRig offBaselineRig() {
  StereoRig rig = defaultRig();
  rig.projector.pose = Pose::fromPlacement(rotationFromEulerDeg(0.0, 0.0, 0.0), {10.0, -60.0, 0.0});
  return rig;
}

bool writeCalibration(const StereoRig& rig, const Rectification& rect, const std::string& dir, std::string* error) {
  if (!makeOutputDir(dir, error)) return false;
  const cv::Size size(rig.left.width, rig.left.height);
  calibfiles::CameraParams cam0;
  cam0.name = "cam0";
  cam0.size = size;
  cam0.K = rig.left.K();
  cam0.R = cv::Mat::eye(3, 3, CV_64F);
  cam0.T = cv::Mat::zeros(3, 1, CV_64F);
  cv::Mat Rt0;
  cv::hconcat(cam0.R, cam0.T, Rt0);
  cam0.P = cam0.K * Rt0;
  cam0.R2 = rect.R1;
  cam0.D = rig.left.D();

  calibfiles::CameraParams cam1;
  cam1.name = "cam1";
  cam1.size = cv::Size(rig.right.width, rig.right.height);
  cam1.K = rig.right.K();
  cam1.R = rig.stereoR();
  cam1.T = rig.stereoT();
  cv::Mat Rt1;
  cv::hconcat(cam1.R, cam1.T, Rt1);
  cam1.P = cam1.K * Rt1;
  cam1.R2 = rect.R2;
  cam1.D = rig.right.D();

  struct Step {
    bool ok;
    const char* name;
  };
  const Step steps[] = {
      {calibfiles::writeCameraParamFile(platform::joinPath(dir, "cam0_param.yaml"), cam0), "cam0_param.yaml"},
      {calibfiles::writeCameraParamFile(platform::joinPath(dir, "cam1_param.yaml"), cam1), "cam1_param.yaml"},
      {calibfiles::writeHmatFile(platform::joinPath(dir, "hmat0.dat"), rect.P1), "hmat0.dat"},
      {calibfiles::writeHmatFile(platform::joinPath(dir, "hmat1.dat"), rect.P2), "hmat1.dat"},
      {calibfiles::writeRectParamFile(platform::joinPath(dir, "rect.param"), rect.map1x, rect.map2x, rect.map1y,
                                      rect.map2y),
       "rect.param"},
  };
  for (const Step& s : steps) {
    if (!s.ok) {
      setError(error, std::string("cannot write ") + platform::joinPath(dir, s.name));
      return false;
    }
  }
  return true;
}

bool writeRigYaml(const StereoRig& rig, const Rectification& rect, const std::string& path) {
  std::string text;
  try {
    cv::FileStorage fs(".yaml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_YAML);
    fs.writeComment(
        "Virtual head. World frame: origin midway between the camera centres, x toward the right "
        "camera, y down, z forward, unit mm. camN_R, camN_T map world to camera coordinates "
        "(x_cam = R x_world + T); stereo_R, stereo_T map camera 0 to camera 1. Projector "
        "coordinates are continuous with 0 at the left edge of its first column.");
    fs << "unit"
       << "mm";
    fs << "world_frame"
       << "head: midway between the camera centres, x toward cam1, y down, z forward";
    fs << "image_width" << rig.left.width << "image_height" << rig.left.height;
    const Camera* cams[2] = {&rig.left, &rig.right};
    for (int i = 0; i < 2; ++i) {
      std::string p = "cam" + std::to_string(i);
      fs << p + "_size"
         << "[" << cams[i]->width << cams[i]->height << "]";
      fs << p + "_K" << cams[i]->K();
      fs << p + "_D" << cams[i]->D();
      fs << p + "_R" << toMat(cams[i]->pose.R);
      fs << p + "_T" << toMat(cams[i]->pose.t);
      fs << p + "_centre" << toMat(cams[i]->pose.centre());
    }
    fs << "stereo_R" << rig.stereoR() << "stereo_T" << rig.stereoT();
    fs << "baseline" << rig.baseline();
    fs << "projector_size"
       << "[" << rig.projector.width << rig.projector.height << "]";
    fs << "projector_K" << rig.projector.K();
    fs << "projector_R" << toMat(rig.projector.pose.R);
    fs << "projector_T" << toMat(rig.projector.pose.t);
    fs << "projector_periods" << rig.projector.periods;
    fs << "rect_R1" << rect.R1 << "rect_R2" << rect.R2;
    fs << "rect_P1" << rect.P1 << "rect_P2" << rect.P2 << "rect_Q" << rect.Q;
    text = fs.releaseAndGetString();
  } catch (const cv::Exception&) {
    return false;
  }
  return calibfiles::writeFileAtomically(path, text);
}

namespace {

bool readMat(const cv::FileStorage& fs, const std::string& key, int rows, int cols, cv::Mat& out) {
  cv::FileNode n = fs[key];
  if (n.empty()) return false;
  cv::Mat m;
  n >> m;
  if (m.empty() || m.channels() != 1) return false;
  m.convertTo(out, CV_64F);
  if (out.total() != static_cast<size_t>(rows * cols)) return false;
  out = out.reshape(1, rows);
  return true;
}

bool readSize(const cv::FileStorage& fs, const std::string& key, int& w, int& h) {
  cv::FileNode n = fs[key];
  if (!n.isSeq() || n.size() != 2) return false;
  w = static_cast<int>(n[0]);
  h = static_cast<int>(n[1]);
  return w > 0 && h > 0 && w <= 65536 && h <= 65536;
}

Pose poseFrom(const cv::Mat& R, const cv::Mat& T) {
  Pose p;
  p.R = cv::Matx33d(R.ptr<double>());
  p.t = cv::Vec3d(T.ptr<double>());
  return p;
}

}  // namespace

bool readRigYaml(const std::string& path, StereoRig& rig, std::string* error) {
  try {
    cv::FileStorage fs(path, cv::FileStorage::READ | cv::FileStorage::FORMAT_YAML);
    if (!fs.isOpened()) {
      setError(error, "cannot open " + path);
      return false;
    }
    StereoRig out;
    Camera* cams[2] = {&out.left, &out.right};
    for (int i = 0; i < 2; ++i) {
      std::string p = "cam" + std::to_string(i);
      cv::Mat K, D, R, T;
      if (!readSize(fs, p + "_size", cams[i]->width, cams[i]->height) || !readMat(fs, p + "_K", 3, 3, K) ||
          !readMat(fs, p + "_D", 1, 5, D) || !readMat(fs, p + "_R", 3, 3, R) || !readMat(fs, p + "_T", 3, 1, T)) {
        setError(error, path + ": missing or malformed " + p + " keys");
        return false;
      }
      cams[i]->setK(K);
      cams[i]->setD(D);
      cams[i]->pose = poseFrom(R, T);
    }
    cv::Mat K, R, T;
    if (!readSize(fs, "projector_size", out.projector.width, out.projector.height) ||
        !readMat(fs, "projector_K", 3, 3, K) || !readMat(fs, "projector_R", 3, 3, R) ||
        !readMat(fs, "projector_T", 3, 1, T)) {
      setError(error, path + ": missing or malformed projector keys");
      return false;
    }
    out.projector.fx = K.at<double>(0, 0);
    out.projector.fy = K.at<double>(1, 1);
    out.projector.cx = K.at<double>(0, 2);
    out.projector.cy = K.at<double>(1, 2);
    out.projector.pose = poseFrom(R, T);
    int periods = static_cast<int>(fs["projector_periods"]);
    if (periods <= 0 || periods > out.projector.width) {
      setError(error, path + ": bad projector_periods");
      return false;
    }
    out.projector.periods = periods;
    rig = out;
    return true;
  } catch (const cv::Exception& e) {
    setError(error, path + ": " + e.what());
    return false;
  }
}

}  // namespace sim
