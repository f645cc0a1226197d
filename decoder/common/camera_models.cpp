#include "decoder/common/camera_models.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>

namespace zel {

namespace {

bool allFinite(const cv::Mat& m) { return cv::checkRange(m, true, nullptr, -1e300, 1e300); }

}  // namespace

PinHoleCamera::PinHoleCamera(std::string n, int w, int h) : name(std::move(n)), width(w), height(h) {}
PinHoleCamera::~PinHoleCamera() = default;

bool PinHoleCamera::setProjection(const cv::Mat& p3x4) {
  if (p3x4.rows != 3 || p3x4.cols != 4 || p3x4.channels() != 1) return false;
  cv::Mat p3;
  p3x4.convertTo(p3, CV_64F);
  if (!allFinite(p3)) return false;
  cv::Mat newP = cv::Mat::eye(4, 4, CV_64F);
  p3.copyTo(newP.rowRange(0, 3));
  cv::Mat newPinv;
  if (cv::invert(newP, newPinv, cv::DECOMP_LU) == 0.0 || !allFinite(newPinv)) return false;
  cv::Mat k, r, c;
  try {
    cv::decomposeProjectionMatrix(p3, k, r, c);
  } catch (const cv::Exception&) {
    return false;
  }
  const double w = c.at<double>(3);
  cv::Mat t = (cv::Mat_<double>(3, 1) << c.at<double>(0) / w, c.at<double>(1) / w, c.at<double>(2) / w);
  if (!allFinite(k) || !allFinite(r) || !allFinite(t)) return false;
  K = k;
  R = r;
  T = t;
  P = newP;
  Pinv = newPinv;
  return true;
}

bool PinHoleCamera::updateInverse() {
  cv::Mat inv;
  if (!allFinite(P) || cv::invert(P, inv, cv::DECOMP_LU) == 0.0) return false;
  Pinv = inv;
  return true;
}

cv::Vec3d PinHoleCamera::backProject(double u, double v) const {
  const double* m = Pinv.ptr<double>(0);
  cv::Vec3d ray;
  for (int i = 0; i < 3; ++i) {
    const double* row = m + 4 * i;
    ray[i] = row[0] * u + row[1] * v + row[2] * 1.0 + row[3] * 0.0;
  }
  return ray;
}

DistortCamera::DistortCamera(std::string n, int w, int h) : PinHoleCamera(std::move(n), w, h) {}
DistortCamera::~DistortCamera() = default;

UndistortCamera::UndistortCamera(std::string n, int w, int h) : PinHoleCamera(std::move(n), w, h) {
  mapFileName = name + ".map";
}
UndistortCamera::~UndistortCamera() = default;

void UndistortCamera::setName(const std::string& newName) {
  name = newName;
  mapFileName = name + ".map";
}

int UndistortCamera::interpolationFlag() const {
  switch (interpolation) {
    case 0: return cv::INTER_NEAREST;
    case 2: return cv::INTER_CUBIC;
    case 3: return cv::INTER_LANCZOS4;
    default: return cv::INTER_LINEAR;
  }
}

void UndistortCamera::compactMaps() {
  if (interpolationFlag() != cv::INTER_LINEAR || mapX.empty() || mapY.size() != mapX.size()) return;
  cv::convertMaps(mapX, mapY, fixedXY, fixedA, CV_16SC2, false);
  mapX.release();
  mapY.release();
  // Rows whose every pixel takes its 2 x 2 source pixels from inside the raw
  // image (of the maps' size): the remap writes each of their pixels, so
  // they need no fill first.
  const int w = fixedXY.cols, h = fixedXY.rows;
  coveredRows_.assign(static_cast<std::size_t>(h) + 1, 0);
  for (int y = 0; y < h; ++y) {
    const short* xy = fixedXY.ptr<short>(y);
    bool covered = true;
    for (int x = 0; x < w && covered; ++x) {
      covered = xy[2 * x] >= 0 && xy[2 * x] < w - 1 && xy[2 * x + 1] >= 0 && xy[2 * x + 1] < h - 1;
    }
    coveredRows_[static_cast<std::size_t>(y) + 1] = coveredRows_[static_cast<std::size_t>(y)] + (covered ? 1 : 0);
  }
}

bool UndistortCamera::rectify(const cv::Mat& raw, cv::Mat& out) const {
  if (raw.empty() || mapSize() != raw.size()) return false;
  out.create(raw.size(), raw.type());
  return rectifyRows(raw, 0, raw.rows, out);
}

bool UndistortCamera::rectifyRows(const cv::Mat& raw, int y0, int y1, cv::Mat& out) const {
  const bool fixed = mapX.empty();
  if (raw.empty() || mapSize() != raw.size() || (fixed ? fixedA : mapY).size() != raw.size()) return false;
  if (y0 < 0 || y1 > raw.rows || y0 >= y1 || out.rows != y1 - y0 || out.cols != raw.cols || out.type() != raw.type())
    return false;
  const bool covered =
      fixed && coveredRows_.size() == static_cast<std::size_t>(raw.rows) + 1 &&
      coveredRows_[static_cast<std::size_t>(y1)] - coveredRows_[static_cast<std::size_t>(y0)] == y1 - y0;
  if (!covered) out.setTo(fillValue);
  // Each rectified pixel depends only on its own map entries, so a band of
  // rows remaps to the same values as the whole image. The bands' map
  // headers share no reference count: threads rectifying bands of one map
  // at once would otherwise contend for it.
  auto rowsOf = [y0, y1](const cv::Mat& m) {
    return cv::Mat(y1 - y0, m.cols, m.type(), const_cast<uchar*>(m.ptr(y0)), m.step);
  };
  const cv::Mat in(raw.rows, raw.cols, raw.type(), const_cast<uchar*>(raw.data), raw.step);
  if (fixed) {
    cv::remap(in, out, rowsOf(fixedXY), rowsOf(fixedA), interpolationFlag(), cv::BORDER_TRANSPARENT);
  } else {
    cv::remap(in, out, rowsOf(mapX), rowsOf(mapY), interpolationFlag(), cv::BORDER_TRANSPARENT);
  }
  return true;
}

StereoCamera::StereoCamera() { configure(0, 0); }
StereoCamera::~StereoCamera() = default;

void StereoCamera::configure(int width, int height) {
  name = "stereo";
  left.setName(name + "L");
  right.setName(name + "R");
  left.fillValue = cv::Scalar(0, 0, 0, 0);
  right.fillValue = cv::Scalar(255, 255, 255, 0);
  left.width = right.width = width;
  left.height = right.height = height;
}

}  // namespace zel
