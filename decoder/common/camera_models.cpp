#include "decoder/common/camera_models.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <utility>

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
  // Per row, the longest stretch of pixels that take their 2 x 2 source
  // pixels from inside the raw image (of the maps' size): the remap writes
  // each of them from those four pixels alone.
  const int w = fixedXY.cols, h = fixedXY.rows;
  insideFrom_.assign(static_cast<std::size_t>(h), 0);
  insideTo_.assign(static_cast<std::size_t>(h), 0);
  for (int y = 0; y < h; ++y) {
    const short* xy = fixedXY.ptr<short>(y);
    int start = 0;
    for (int x = 0; x <= w; ++x) {
      const bool inside = x < w && xy[2 * x] >= 0 && xy[2 * x] < w - 1 && xy[2 * x + 1] >= 0 && xy[2 * x + 1] < h - 1;
      if (inside) continue;
      if (x - start > insideTo_[static_cast<std::size_t>(y)] - insideFrom_[static_cast<std::size_t>(y)]) {
        insideFrom_[static_cast<std::size_t>(y)] = start;
        insideTo_[static_cast<std::size_t>(y)] = x;
      }
      start = x + 1;
    }
  }
}

bool UndistortCamera::insideColumns(int y0, int y1, int& from, int& to) const {
  from = 0;
  to = 0;
  if (insideFrom_.size() != static_cast<std::size_t>(fixedXY.rows) || y0 < 0 || y1 > fixedXY.rows) return false;
  to = fixedXY.cols;
  for (int y = y0; y < y1; ++y) {
    from = std::max(from, insideFrom_[static_cast<std::size_t>(y)]);
    to = std::min(to, insideTo_[static_cast<std::size_t>(y)]);
  }
  if (from >= to) from = to = 0;
  return to > from;
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
  int from = 0, to = 0;
  const bool covered = fixed && insideColumns(y0, y1, from, to) && from == 0 && to == raw.cols;
  remapPart(raw, y0, y1, 0, raw.cols, !covered, out);
  return true;
}

void UndistortCamera::remapPart(const cv::Mat& raw, int y0, int y1, int c0, int c1, bool fill, cv::Mat& out) const {
  if (fill) out.setTo(fillValue);
  // Each rectified pixel depends only on its own map entries, so a part of
  // the image remaps to the same values as the whole. The headers over the
  // maps' part share no reference count: threads rectifying parts of one
  // map at once would otherwise contend for it.
  auto part = [&](const cv::Mat& m) {
    return cv::Mat(y1 - y0, c1 - c0, m.type(), const_cast<uchar*>(m.ptr(y0) + c0 * m.elemSize()), m.step);
  };
  const cv::Mat in(raw.rows, raw.cols, raw.type(), const_cast<uchar*>(raw.data), raw.step);
  if (mapX.empty()) {
    cv::remap(in, out, part(fixedXY), part(fixedA), interpolationFlag(), cv::BORDER_TRANSPARENT);
  } else {
    cv::remap(in, out, part(mapX), part(mapY), interpolationFlag(), cv::BORDER_TRANSPARENT);
  }
}

bool UndistortCamera::rectifyRowsOfMany(const std::uint8_t* const* raws, int n, int y0, int y1,
                                        std::uint8_t* const* outs) const {
  const cv::Size size = mapSize();
  const int w = size.width;
  int from = 0, to = 0;
  if (!mapX.empty() || !insideColumns(y0, y1, from, to)) {
    // Float maps, or no column inside for all the rows: one remap each.
    for (int k = 0; k < n; ++k) {
      const cv::Mat raw(size, CV_8UC1, const_cast<std::uint8_t*>(raws[k]));
      cv::Mat out(y1 - y0, w, CV_8UC1, outs[k]);
      if (!rectifyRows(raw, y0, y1, out)) return false;
    }
    return true;
  }
  // Columns outside [from, to) in some row: through cv::remap, which fills
  // and interpolates the pixels at the raw image's edges its own way.
  for (const auto& [c0, c1] : {std::pair<int, int>{0, from}, std::pair<int, int>{to, w}}) {
    if (c1 <= c0) continue;
    for (int k = 0; k < n; ++k) {
      const cv::Mat raw(size, CV_8UC1, const_cast<std::uint8_t*>(raws[k]));
      cv::Mat out(y1 - y0, c1 - c0, CV_8UC1, outs[k] + c0, static_cast<std::size_t>(w));
      remapPart(raw, y0, y1, c0, c1, true, out);
    }
  }
  // Columns [from, to): every source pixel lies inside. Bilinear weights in
  // 1/32 pixel steps, as cv::remap's fixed-point table holds them: the
  // fractions fy, fx (fixedA = fy * 32 + fx) give (32 - fy)(32 - fx), (32 -
  // fy) fx, fy (32 - fx) and fy fx, times 32, summing to exactly 1 << 15, and
  // the sum is rounded by adding 1 << 14 and shifting by 15; here the common
  // factor 32 is left out (1 << 9, shift 10), which gives the same values.
  // The positions and weights are found once for all the images.
  // Columns go in chunks: the chunk's positions and weights first, then each
  // image in turn, so that only a few memory streams run at once.
  const std::size_t step = static_cast<std::size_t>(w);
  constexpr int kChunk = 256;
  std::size_t offset[kChunk];
  int weight[4][kChunk];
  for (int y = y0; y < y1; ++y) {
    const short* xy = fixedXY.ptr<short>(y);
    const ushort* a = fixedA.ptr<ushort>(y);
    const std::size_t row = static_cast<std::size_t>(y - y0) * step;
    for (int x0 = from; x0 < to; x0 += kChunk) {
      const int m = std::min(kChunk, to - x0);
      for (int j = 0; j < m; ++j) {
        const int x = x0 + j;
        const int fy = a[x] >> 5, fx = a[x] & 31;
        weight[0][j] = (32 - fy) * (32 - fx);
        weight[1][j] = (32 - fy) * fx;
        weight[2][j] = fy * (32 - fx);
        weight[3][j] = fy * fx;
        offset[j] = static_cast<std::size_t>(xy[2 * x + 1]) * step + static_cast<std::size_t>(xy[2 * x]);
      }
      for (int k = 0; k < n; ++k) {
        const std::uint8_t* src = raws[k];
        std::uint8_t* out = outs[k] + row + x0;
        for (int j = 0; j < m; ++j) {
          const std::uint8_t* s = src + offset[j];
          out[j] = static_cast<std::uint8_t>(
              (s[0] * weight[0][j] + s[1] * weight[1][j] + s[step] * weight[2][j] + s[step + 1] * weight[3][j] + 512) >>
              10);
        }
      }
    }
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
