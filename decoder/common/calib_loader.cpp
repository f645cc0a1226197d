#include "decoder/common/calib_loader.h"

#include "decoder/common/yaml_reader.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

namespace zel {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

bool allFinite(const cv::Mat& m) { return cv::checkRange(m, true, nullptr, -1e300, 1e300); }

// Reads a matrix entry into dst when the key is present (a key with no value
// counts as absent). rows == 0 asks for distortion coefficients: a row or
// column vector of 4, 5, 8, 12 or 14 values, or an empty matrix. rows 3, cols
// 1 takes a row or column of three. Every value must be finite.
bool readMatrix(const YamlNode& root, const std::string& key, int rows, int cols, cv::Mat& dst, std::string& error) {
  const YamlNode* node = root.find(key);
  if (!node || node->kind == YamlNode::Kind::Null) return true;
  cv::Mat m;
  std::string why;
  // Calibration matrices are small: 14 distortion values at most, 4 x 4.
  if (!yamlMatrix(*node, 64, m, why)) {
    error = key + " is " + why;
    return false;
  }
  if (m.empty()) {
    if (rows == 0) {
      dst = m;
      return true;
    }
    error = key + " is empty";
    return false;
  }
  if (!allFinite(m)) {
    error = key + " holds a value that is not finite";
    return false;
  }
  if (rows == 0) {
    const int n = static_cast<int>(m.total());
    if ((m.rows != 1 && m.cols != 1) || !(n == 4 || n == 5 || n == 8 || n == 12 || n == 14)) {
      error = key + " is not a vector of 4, 5, 8, 12 or 14 distortion coefficients";
      return false;
    }
  } else if (rows == 3 && cols == 1) {
    if (m.total() != 3 || (m.rows != 1 && m.cols != 1)) {
      error = key + " is not a vector of 3 values";
      return false;
    }
    m = m.reshape(1, 3);
  } else if (m.rows != rows || m.cols != cols) {
    error = key + " is not " + std::to_string(rows) + " x " + std::to_string(cols);
    return false;
  }
  dst = m.clone();
  return true;
}

// A camera matrix must have positive focal lengths and the row (0, 0, 1): a
// negative or zero focal length mirrors or collapses the image, and stereo
// rectification then yields points far off the surface without any error.
bool plausibleCameraMatrix(const cv::Mat& k) {
  return k.at<double>(0, 0) > 0 && k.at<double>(1, 1) > 0 && k.at<double>(1, 0) == 0 && k.at<double>(2, 0) == 0 &&
         k.at<double>(2, 1) == 0 && std::abs(k.at<double>(2, 2) - 1.0) < 1e-9;
}

// A rotation: orthonormal with determinant +1 (within what a stored text of
// an orthonormal matrix keeps).
bool isRotation(const cv::Mat& r) {
  const cv::Mat rrt = r * r.t();
  return cv::norm(rrt - cv::Mat::eye(3, 3, CV_64F), cv::NORM_INF) < 1e-3 && std::abs(cv::determinant(r) - 1.0) < 1e-3;
}

// Largest image side we accept from a file, in pixels.
constexpr int kMaxImageSide = 1 << 15;

bool rectifiedCamerasFinite(const StereoCamera& s) {
  return allFinite(s.Q) && allFinite(s.left.mapX) && allFinite(s.left.mapY) && allFinite(s.right.mapX) &&
         allFinite(s.right.mapY);
}

void commit(StereoCamera& target, StereoCamera& candidate) {
  target.name = candidate.name;
  target.left = candidate.left;
  target.right = candidate.right;
  target.Q = candidate.Q;
}

void writeBaseline(const StereoCamera& s) { std::cout << "baseline : " << cv::norm(s.right.T - s.left.T) << std::endl; }

bool loadFromYaml(const std::string& dir, int width, int height, StereoCamera& candidate, std::string& error) {
  std::cerr << "Using YAML Parameter.\n";
  DistortCamera cams[2] = {DistortCamera("cam0", width, height), DistortCamera("cam1", width, height)};
  int sizeW[2] = {0, 0};
  int sizeH[2] = {0, 0};
  for (int i = 0; i < 2; ++i) {
    if (!readCameraParamFile(dir + cams[i].name + "_param.yaml", cams[i], sizeW[i], sizeH[i], &error)) return false;
  }
  // Rectification needs the size the left camera was calibrated at.
  if (sizeW[0] <= 0 || sizeH[0] <= 0) {
    error = dir + "cam0_param.yaml: cam0_size is missing";
    return false;
  }
  if (cv::norm(cams[1].T) <= 0) {
    error = dir + "cam1_param.yaml: cam1_T is missing or zero (no baseline)";
    return false;
  }
  cv::Mat r1, r2, p1, p2, q;
  cv::Rect roi1, roi2;
  try {
    cv::stereoRectify(cams[0].K, cams[0].D, cams[1].K, cams[1].D, cv::Size(sizeW[0], sizeH[0]), cams[1].R, cams[1].T,
                      r1, r2, p1, p2, q, 0, -1, cv::Size(width, height), &roi1, &roi2);
  } catch (const cv::Exception& e) {
    error = dir + ": stereo rectification of the camera parameter files fails: " + e.err;
    return false;
  }
  cams[0].R = r1;
  cams[1].R = r2;
  candidate.Q = q;
  candidate.left.validRegion = roi1;
  candidate.right.validRegion = roi2;
  if (!candidate.left.setProjection(p1) || !candidate.right.setProjection(p2)) {
    error = dir + ": the camera parameter files give no usable rectified cameras";
    return false;
  }
  UndistortCamera* rect[2] = {&candidate.left, &candidate.right};
  try {
    for (int i = 0; i < 2; ++i) {
      cv::Mat mx, my;
      cv::initUndistortRectifyMap(cams[i].K, cams[i].D, cams[i].R, rect[i]->K, cv::Size(width, height), CV_32FC1, mx,
                                  my);
      rect[i]->mapX = mx;
      rect[i]->mapY = my;
    }
  } catch (const cv::Exception& e) {
    error = dir + ": rectification maps of the camera parameter files fail: " + e.err;
    return false;
  }
  if (!rectifiedCamerasFinite(candidate)) {
    error = dir + ": the camera parameter files give a rectification that is not finite";
    return false;
  }
  return true;
}

bool loadFromHmat(const std::string& dir, int width, int height, StereoCamera& candidate, std::string& error) {
  std::cerr << "Using HMAT Parameter.\n";
  cv::Mat p;
  for (int i = 0; i < 2; ++i) {
    const std::string path = dir + (i == 0 ? "hmat0.dat" : "hmat1.dat");
    if (!readProjectionFile(path, p)) {
      error = path + ": missing, shorter than 96 bytes or not finite";
      return false;
    }
    if (!(i == 0 ? candidate.left : candidate.right).setProjection(p)) {
      error = path + ": not a projection matrix";
      return false;
    }
  }
  RectMaps maps;
  if (!readRectParamFile(dir + "rect.param", width, height, maps)) {
    error = dir + "rect.param: missing, short, or not written for " + std::to_string(width) + " x " +
            std::to_string(height) + " pixels";
    return false;
  }
  candidate.left.mapX = maps[0];
  candidate.right.mapX = maps[1];
  candidate.left.mapY = maps[2];
  candidate.right.mapY = maps[3];
  candidate.Q = buildProjectionQ(candidate.left, candidate.right);
  // Maps may legitimately hold any float (they only steer the remap), but a
  // non-finite Q would silently turn every point into NaN.
  if (!allFinite(candidate.Q)) {
    error = dir + ": hmat0.dat and hmat1.dat give no baseline";
    return false;
  }
  return true;
}

}  // namespace

bool readCameraParamFile(const std::string& path, DistortCamera& cam, int& sizeWidth, int& sizeHeight,
                         std::string* error) {
  sizeWidth = sizeHeight = 0;
  std::string why;
  auto fail = [&](const std::string& cause) {
    if (error) *error = path + ": " + cause;
    return false;
  };
  YamlNode root;
  if (!readYamlFile(path, root, why)) return fail(why);
  const std::string sizeKey = cam.name + "_size";
  if (const YamlNode* size = root.find(sizeKey)) {
    int w = 0, h = 0;
    if (size->kind != YamlNode::Kind::Sequence || size->items.size() != 2 || !size->items[0].asInt(w) ||
        !size->items[1].asInt(h) || w <= 0 || h <= 0 || w > kMaxImageSide || h > kMaxImageSide) {
      return fail(sizeKey + " is not two positive integers up to " + std::to_string(kMaxImageSide));
    }
    sizeWidth = w;
    sizeHeight = h;
  }
  cv::Mat k = cam.K, r = cam.R, t = cam.T, p3, d = cam.D;
  if (!readMatrix(root, cam.name + "_K", 3, 3, k, why) || !readMatrix(root, cam.name + "_R", 3, 3, r, why) ||
      !readMatrix(root, cam.name + "_T", 3, 1, t, why) || !readMatrix(root, cam.name + "_P", 3, 4, p3, why) ||
      !readMatrix(root, cam.name + "_D", 0, 0, d, why)) {
    return fail(why);
  }
  if (!plausibleCameraMatrix(k)) return fail(cam.name + "_K is not a camera matrix with positive focal lengths");
  if (!isRotation(r)) return fail(cam.name + "_R is not a rotation");
  cam.K = k;
  cam.R = r;
  cam.T = t;
  cam.D = d;
  if (!p3.empty()) {
    cv::Mat newP = cv::Mat::eye(4, 4, CV_64F);
    p3.copyTo(newP.rowRange(0, 3));
    cam.P = newP;
    // A projection matrix that cannot be inverted is informational here:
    // the decoders never back-project through the physical cameras.
    if (!cam.updateInverse()) cam.Pinv = cv::Mat::eye(4, 4, CV_64F);
  }
  return true;
}

bool readProjectionFile(const std::string& path, cv::Mat& p3x4) {
  FilePtr f(std::fopen(path.c_str(), "rb"));
  if (!f) return false;
  unsigned char bytes[96];
  if (std::fread(bytes, 1, sizeof bytes, f.get()) != sizeof bytes) return false;
  cv::Mat m(3, 4, CV_64F);
  std::memcpy(m.ptr<double>(0), bytes, sizeof bytes);  // little-endian host
  if (!allFinite(m)) return false;
  p3x4 = m;
  return true;
}

bool readRectParamFile(const std::string& path, int width, int height, RectMaps& maps) {
  if (width <= 0 || height <= 0) return false;
  const std::int64_t expected = static_cast<std::int64_t>(width) * height;
  if (expected > INT32_MAX / 4) return false;
  FilePtr f(std::fopen(path.c_str(), "rb"));
  if (!f) return false;
  RectMaps loaded;
  std::int64_t offset = 0;
  for (cv::Mat& map : loaded) {
    if (std::fseek(f.get(), static_cast<long>(offset), SEEK_SET) != 0) return false;
    unsigned char header[8];
    if (std::fread(header, 1, sizeof header, f.get()) != sizeof header) return false;
    std::int32_t count;
    std::memcpy(&count, header, sizeof count);
    if (count != expected) return false;
    map.create(height, width, CV_32FC1);
    const std::size_t bytes = static_cast<std::size_t>(count) * 4;
    if (std::fread(map.ptr<float>(0), 1, bytes, f.get()) != bytes) return false;
    offset += 8 + static_cast<std::int64_t>(bytes);
    offset = (offset + 7) / 8 * 8;
  }
  maps = loaded;
  return true;
}

cv::Mat buildProjectionQ(const PinHoleCamera& left, const PinHoleCamera& right) {
  const double fx = left.K.at<double>(0, 0);
  const double cx = left.K.at<double>(0, 2);
  const double cy = left.K.at<double>(1, 2);
  const double cxr = right.K.at<double>(0, 2);
  const double cyr = right.K.at<double>(1, 2);
  cv::Mat a = left.R * left.T;
  cv::Mat b = right.R * right.T;
  // The pair is horizontal when the baseline runs mostly along x. Testing
  // a = R_L * T_L alone would call a pair whose left camera sits at the world
  // origin (a = 0) vertical and divide by a zero baseline.
  const bool horizontal = std::abs(a.at<double>(0) - b.at<double>(0)) > std::abs(a.at<double>(1) - b.at<double>(1));
  const int k = horizontal ? 0 : 1;
  const double s = horizontal ? cx - cxr : cy - cyr;
  const double t = a.at<double>(k) - b.at<double>(k);
  cv::Mat q0 = (cv::Mat_<double>(4, 4) << 1, 0, 0, -cx,  //
                0, 1, 0, -cy,                            //
                0, 0, 0, fx,                             //
                0, 0, -1.0 / t, s / t);
  cv::Mat bm = cv::Mat::eye(4, 4, CV_64F);
  left.R.copyTo(bm(cv::Rect(0, 0, 3, 3)));
  cv::Mat shift = -left.R * left.T;
  shift.copyTo(bm(cv::Rect(3, 0, 1, 3)));
  cv::Mat binv;
  cv::invert(bm, binv, cv::DECOMP_LU);
  return binv * q0;
}

bool loadStereoCalibration(const std::string& dir, int coord, int width, int height, bool previousLoaded,
                           StereoCamera& stereo, std::string* error) {
  if (coord != 0 && coord != 1) {
    if (!previousLoaded && error) *error = "\"coord\" " + std::to_string(coord) + " selects no calibration files";
    return previousLoaded;
  }
  std::string why;
  bool ok = false;
  if (width <= 0 || height <= 0 || width > kMaxImageSide || height > kMaxImageSide) {
    why = "an image size of " + std::to_string(width) + " x " + std::to_string(height) + " pixels";
  } else {
    StereoCamera candidate;
    try {
      candidate.configure(width, height);
      ok = coord == 0 ? loadFromYaml(dir, width, height, candidate, why)
                      : loadFromHmat(dir, width, height, candidate, why);
      if (ok) commit(stereo, candidate);
    } catch (const std::exception& e) {
      why = dir + ": " + e.what();
      ok = false;
    }
  }
  if (!ok) {
    // The one line that says why; the host's own message follows.
    std::cerr << "error: calibration: " << why << "\n";
    if (error) *error = why;
    return false;
  }
  writeBaseline(stereo);
  return true;
}

}  // namespace zel
