#include "decoder/sgbm/sgbm_decoder.h"

#include "decoder/common/calib_loader.h"
#include "decoder/common/settings_reader.h"
#include "diag/logger.h"
#include "platform/stopwatch.h"

#include <opencv2/calib3d.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <string>

namespace zel {

namespace {

constexpr long long kMaxPixels = 1LL << 26;  // far above any head's sensor; keeps every index in int32
constexpr const char* kExecTag = "SGBM3D::exec";

}  // namespace

MatcherValues MatcherValues::of(const SgbmParams& p) {
  MatcherValues v;
  v.minDisparity = p.minDisparity;
  v.numDisparities = p.numDisparities;
  v.blockSize = p.blockSize;
  v.p1 = p.p1;
  v.p2 = p.p2;
  v.disp12MaxDiff = p.disp12MaxDiff;
  v.preFilterCap = p.preFilterCap;
  v.uniquenessRatio = p.uniquenessRatio;
  v.speckleWindowSize = p.speckleWindowSize;
  v.speckleRange = p.speckleRange;
  v.mode = p.mode;
  v.evecError = p.evecError;
  return v;
}

bool SgbmDecoder::loadCalibration(const SgbmParams& p, const std::string& dir) {
  calibrated_ = false;
  const long long pixels = static_cast<long long>(p.imageWidth) * p.imageHeight;
  if (p.imageWidth <= 0 || p.imageHeight <= 0 || pixels > kMaxPixels) {
    ZEL_LOG("%s: error: image size %dx%d\n", "SGBM3D::loadCalibration", p.imageWidth, p.imageHeight);
    reportSettingsError("image size " + std::to_string(p.imageWidth) + "x" + std::to_string(p.imageHeight) +
                        " (\"image_width\", \"image_height\")");
    return false;
  }
  if (!std::isfinite(p.evecError)) {
    ZEL_LOG("%s: error: evec_error is not a finite number\n", "SGBM3D::loadCalibration");
    reportSettingsError("evec_error is not a finite number");
    return false;
  }
  if (p.imageWidth != width_ || p.imageHeight != height_ || leftMask_.empty()) {
    const std::size_t n = static_cast<std::size_t>(pixels);
    texture_.assign(n, 0);
    leftMask_.assign(n, 0);
    disparity_.assign(n, 0.0);
    records_.assign(n, PointRecord{});
    rowCounts_.assign(static_cast<std::size_t>(p.imageHeight) + 1, 0);
    width_ = p.imageWidth;
    height_ = p.imageHeight;
  }
  values_ = MatcherValues::of(p);

  // A coord other than 0 and 1 keeps the calibration in force, which is only
  // usable when there is one and its maps fit the configured size.
  const bool previousUsable =
      everLoaded_ && stereo_.left.mapX.cols == p.imageWidth && stereo_.left.mapX.rows == p.imageHeight;
  if (p.coord == 0 || p.coord == 1) stereo_.configure(p.imageWidth, p.imageHeight);
  calibrated_ = loadStereoCalibration(dir, p.coord, p.imageWidth, p.imageHeight, previousUsable, stereo_);
  everLoaded_ = everLoaded_ || calibrated_;
  return true;
}

bool SgbmDecoder::prepareImages(const ImagePair& raw, const ImagePair& rectified, bool rectify,
                                std::uint8_t* const rectifiedOut[2]) {
  const ImagePair& source = rectify ? raw : rectified;
  if (width_ <= 0 || source.left == nullptr || source.right == nullptr) return false;
  const int w = width_;
  const int h = height_;
  bool ok[2] = {true, true};
#pragma omp parallel for schedule(static) num_threads(kThreads)
  for (int c = 0; c < 2; ++c) {
    const std::uint8_t* image = c == 0 ? source.left : source.right;
    cv::Mat in(h, w, CV_8UC1, const_cast<std::uint8_t*>(image));
    if (rectify) {
      const UndistortCamera& camera = c == 0 ? stereo_.left : stereo_.right;
      cv::Mat out = rectifiedOut != nullptr && rectifiedOut[c] != nullptr ? cv::Mat(h, w, CV_8UC1, rectifiedOut[c])
                                                                          : rectified_[c];
      ok[c] = camera.rectify(in, out);
      if (rectifiedOut == nullptr || rectifiedOut[c] == nullptr) rectified_[c] = out;
      input_[c] = out;
    } else {
      input_[c] = in;
    }
    if (c == 0) {
      std::memcpy(texture_.data(), input_[0].data, texture_.size());
      std::memset(leftMask_.data(), 0, leftMask_.size());
    }
  }
  return ok[0] && ok[1];
}

SgbmDecoder::MatchResult SgbmDecoder::matchPair() {
  const MatcherValues& v = values_;
  cv::Ptr<cv::StereoSGBM> matcher =
      cv::StereoSGBM::create(v.minDisparity, v.numDisparities, v.blockSize, v.p1, v.p2, v.disp12MaxDiff, v.preFilterCap,
                             v.uniquenessRatio, v.speckleWindowSize, v.speckleRange, v.mode);
  region_ = matcherValidRegion(matcher->getBlockSize(), matcher->getMinDisparity(), matcher->getNumDisparities(),
                               width_, height_);
  // OpenCV 4.6 aborts the process (instead of throwing) for a disparity count
  // below -1, and may crash for block sizes or disparity ranges that do not
  // fit the image. A count below 1 is refused as the matcher itself refuses 0;
  // with an empty valid region every pixel is 46 whatever the matcher would
  // say, so it is not run at all.
  if (matcher->getNumDisparities() < 1) return MatchResult::Refused;
  if (region_.x0 >= region_.x1 || region_.y0 >= region_.y1 || region_.x1 <= 0 || region_.y1 <= 0 ||
      region_.x0 >= width_ || region_.y0 >= height_) {
    std::fill(leftMask_.begin(), leftMask_.end(), kMaskOutsideValidRegion);
    std::fill(disparity_.begin(), disparity_.end(), 0.0);
    rawDisparity_.release();
    return MatchResult::Ok;
  }
  matcher->compute(input_[0], input_[1], rawDisparity_);
  if (rawDisparity_.rows != height_ || rawDisparity_.cols != width_) return MatchResult::UnreadableMap;
  return markDisparity(rawDisparity_, region_, matcher->getMinDisparity(), leftMask_.data(), disparity_.data(),
                       kThreads)
             ? MatchResult::Ok
             : MatchResult::UnreadableMap;
}

PointGrid SgbmDecoder::pointGrid() {
  PointGrid g;
  g.width = width_;
  g.height = height_;
  g.disparity = disparity_.data();
  g.leftMask = leftMask_.data();
  g.texture = texture_.data();
  g.records = records_.data();
  g.rowCounts = rowCounts_.data();
  return g;
}

int SgbmDecoder::computePoints(int qEvec) {
  const PointGrid g = pointGrid();
  if (qEvec == 0) return reprojectPoints(stereo_.Q, g, kThreads, kMaskSgbmPointNotFinite);
  return triangulateRays(stereo_, values_.evecError, g, kThreads);
}

std::int32_t SgbmDecoder::exec(const ImagePair& raw, const ImagePair& rectified, bool rectify,
                               std::uint8_t* const rectifiedOut[2], int qEvec, DecoderOutput& out) {
  ZEL_LOG("%s\n", kExecTag);
  platform::Stopwatch total;
  platform::Stopwatch stage;
  out.clear();
  if (!calibrated_) {
    // Without calibration there are no rectification maps and no Q to use.
    ZEL_LOG("%s: error: not calibrated\n", kExecTag);
    return 0;
  }
  int n = 0;
  try {
    if (!prepareImages(raw, rectified, rectify, rectifiedOut)) {
      ZEL_LOG("%s: error: no images\n", kExecTag);
      return 0;
    }
    times_.remap = stage.lapMs();
    switch (matchPair()) {
      case MatchResult::Ok: break;
      case MatchResult::Refused:
        ZEL_LOG("%s: error: number of disparities %d refused\n", kExecTag, values_.numDisparities);
        return 0;
      case MatchResult::UnreadableMap:
        ZEL_LOG("%s: error: disparity map of type %d\n", kExecTag, rawDisparity_.type());
        return 0;
    }
    times_.sgbm = stage.lapMs();
    n = computePoints(qEvec);
    times_.pc = stage.lapMs();
  } catch (const cv::Exception& e) {
    // Matcher values are passed as configured; the matcher's own checks
    // (block size, disparity count) end up here.
    ZEL_LOG("%s: error: %s\n", kExecTag, e.err.c_str());
    return 0;
  } catch (const std::exception& e) {
    ZEL_LOG("%s: error: %s\n", kExecTag, e.what());
    return 0;
  }
  times_.sum = stage.elapsedMs();
  ZEL_LOG(" time: remap[%.2f]sgbm[%.2f]pc[%.2f]sum[%.2f]ms\n", times_.remap, times_.sgbm, times_.pc, times_.sum);
  ZEL_LOG(" points=%d\n", n);
  if (n < 1) {
    times_.total = total.elapsedMs();
    return 0;
  }
  if (!out.fill(pointGrid(), n, kThreads)) {
    ZEL_LOG("%s: error: no memory for %d points\n", kExecTag, n);
    return 0;
  }
  times_.total = total.elapsedMs();
  ZEL_LOG(" total[%.2f]ms\n", times_.total);
  return n;
}

}  // namespace zel
