#include "decoder/common/calib_loader.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>

namespace zel {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

bool allFinite(const cv::Mat& m) { return cv::checkRange(m, true, nullptr, -1e300, 1e300); }

// Reads a matrix node into dst when the key is present. Returns false when the
// node is present but is not a finite matrix of the expected shape (rows or
// cols of 0 accept any count; elements > 0 asks for that many in a vector).
// A matrix node's declared shape, checked before OpenCV reads it: its reader
// sizes the matrix from "rows" and "cols" as written, so a damaged file could
// make it allocate gigabytes. Calibration matrices are small.
bool plausibleMatrixNode(const cv::FileNode& node) {
  constexpr int kMaxSide = 64;
  if (node.isSeq()) return node.size() <= static_cast<std::size_t>(kMaxSide);
  if (!node.isMap()) return false;
  cv::FileNode rows = node["rows"], cols = node["cols"], data = node["data"];
  if (!rows.isInt() || !cols.isInt() || !data.isSeq()) return false;
  const int r = static_cast<int>(rows), c = static_cast<int>(cols);
  if (r < 0 || c < 0 || r > kMaxSide || c > kMaxSide) return false;
  cv::FileNode dt = node["dt"];
  if (!dt.isString()) return false;
  const std::string type = static_cast<std::string>(dt);
  // One channel of one element type ("d", "f", "i", ...): a data run of
  // rows x cols values.
  return type.size() == 1 && data.size() == static_cast<std::size_t>(r) * static_cast<std::size_t>(c);
}

bool readMatrix(const cv::FileStorage& fs, const std::string& key, int rows, int cols, cv::Mat& dst) {
  cv::FileNode node = fs[key];
  if (node.empty() || node.isNone()) return true;
  if (!plausibleMatrixNode(node)) return false;
  cv::Mat m;
  node >> m;
  if (m.empty() || m.channels() != 1 || m.depth() == CV_8U) {
    // An empty matrix node is acceptable only for the distortion vector.
    return m.empty() && rows == 0;
  }
  m.convertTo(m, CV_64F);
  if (!allFinite(m)) return false;
  if (rows == 0) {  // distortion coefficients: a row or column vector
    const int n = static_cast<int>(m.total());
    if ((m.rows != 1 && m.cols != 1) || !(n == 4 || n == 5 || n == 8 || n == 12 || n == 14)) return false;
  } else if (rows == 3 && cols == 1) {
    if (m.total() != 3 || (m.rows != 1 && m.cols != 1)) return false;
    m = m.reshape(1, 3);
  } else if (m.rows != rows || m.cols != cols) {
    return false;
  }
  dst = m.clone();
  return true;
}

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

void writeBaseline(const StereoCamera& s) {
  std::cout << "baseline : " << cv::norm(s.right.T - s.left.T) << std::endl;
}

bool loadFromYaml(const std::string& dir, int width, int height, StereoCamera& candidate) {
  std::cerr << "Using YAML Parameter.\n";
  DistortCamera cams[2] = {DistortCamera("cam0", width, height), DistortCamera("cam1", width, height)};
  int sizeW[2] = {0, 0};
  int sizeH[2] = {0, 0};
  for (int i = 0; i < 2; ++i) {
    if (!readCameraParamFile(dir + cams[i].name + "_param.yaml", cams[i], sizeW[i], sizeH[i])) return false;
  }
  cv::Mat r1, r2, p1, p2, q;
  cv::Rect roi1, roi2;
  try {
    cv::stereoRectify(cams[0].K, cams[0].D, cams[1].K, cams[1].D, cv::Size(sizeW[0], sizeH[0]), cams[1].R,
                      cams[1].T, r1, r2, p1, p2, q, 0, -1, cv::Size(width, height), &roi1, &roi2);
  } catch (const cv::Exception&) {
    return false;
  }
  cams[0].R = r1;
  cams[1].R = r2;
  candidate.Q = q;
  candidate.left.validRegion = roi1;
  candidate.right.validRegion = roi2;
  if (!candidate.left.setProjection(p1) || !candidate.right.setProjection(p2)) return false;
  UndistortCamera* rect[2] = {&candidate.left, &candidate.right};
  try {
    for (int i = 0; i < 2; ++i) {
      cv::Mat mx, my;
      cv::initUndistortRectifyMap(cams[i].K, cams[i].D, cams[i].R, rect[i]->K, cv::Size(width, height), CV_32FC1,
                                  mx, my);
      rect[i]->mapX = mx;
      rect[i]->mapY = my;
    }
  } catch (const cv::Exception&) {
    return false;
  }
  return rectifiedCamerasFinite(candidate);
}

bool loadFromHmat(const std::string& dir, int width, int height, StereoCamera& candidate) {
  std::cerr << "Using HMAT Parameter.\n";
  cv::Mat p;
  if (!readProjectionFile(dir + "hmat0.dat", p) || !candidate.left.setProjection(p)) return false;
  if (!readProjectionFile(dir + "hmat1.dat", p) || !candidate.right.setProjection(p)) return false;
  RectMaps maps;
  if (!readRectParamFile(dir + "rect.param", width, height, maps)) return false;
  candidate.left.mapX = maps[0];
  candidate.right.mapX = maps[1];
  candidate.left.mapY = maps[2];
  candidate.right.mapY = maps[3];
  candidate.Q = buildProjectionQ(candidate.left, candidate.right);
  // Maps may legitimately hold any float (they only steer the remap), but a
  // non-finite Q would silently turn every point into NaN.
  return allFinite(candidate.Q);
}

}  // namespace

bool readCameraParamFile(const std::string& path, DistortCamera& cam, int& sizeWidth, int& sizeHeight) {
  sizeWidth = sizeHeight = 0;
  {
    // Checked first so that a missing file fails quietly instead of through
    // OpenCV's own error log.
    FilePtr probe(std::fopen(path.c_str(), "rb"));
    if (!probe) return false;
  }
  try {
    cv::FileStorage fs(path, cv::FileStorage::READ);
    if (!fs.isOpened()) return false;
    cv::FileNode size = fs[cam.name + "_size"];
    if (size.isSeq() && size.size() == 2 && size[0].isInt() && size[1].isInt()) {
      sizeWidth = static_cast<int>(size[0]);
      sizeHeight = static_cast<int>(size[1]);
    }
    cv::Mat k = cam.K, r = cam.R, t = cam.T, p3, d = cam.D;
    if (!readMatrix(fs, cam.name + "_K", 3, 3, k) || !readMatrix(fs, cam.name + "_R", 3, 3, r) ||
        !readMatrix(fs, cam.name + "_T", 3, 1, t) || !readMatrix(fs, cam.name + "_P", 3, 4, p3) ||
        !readMatrix(fs, cam.name + "_D", 0, 0, d)) {
      return false;
    }
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
  } catch (const cv::Exception&) {
    return false;
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
                0, 1, 0, -cy,                              //
                0, 0, 0, fx,                               //
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
                           StereoCamera& stereo) {
  if (coord != 0 && coord != 1) return previousLoaded;
  StereoCamera candidate;
  candidate.configure(width, height);
  bool ok = false;
  try {
    ok = coord == 0 ? loadFromYaml(dir, width, height, candidate) : loadFromHmat(dir, width, height, candidate);
  } catch (const std::exception&) {
    ok = false;
  }
  if (!ok) return false;
  commit(stereo, candidate);
  writeBaseline(stereo);
  return true;
}

}  // namespace zel
