#include "decoder/phsft/phsft_decoder.h"

#include "decoder/common/calib_loader.h"
#include "decoder/common/settings_reader.h"
#include "decoder/phsft/phase_stage.h"
#include "diag/logger.h"
#include "platform/stopwatch.h"

#include <omp.h>

#include <algorithm>
#include <string>

namespace zel {

namespace {

constexpr int kImagesUsed = 13;
// Rows of a band: both cameras' planes of a band (about 32 bytes a pixel,
// phases included) stay in a core's L2 cache from rectification to matching.
constexpr int kBandRows = 16;
constexpr long long kMaxPixels = 1LL << 26;  // far above any head's sensor; keeps every index in int32

}  // namespace

PhsftDecoder::PhsftDecoder() : threads_(std::max(2, omp_get_num_procs())) {}

bool PhsftDecoder::loadCalibration(const PhsftParams& p, const std::string& dir) {
  calibrated_ = false;
  const long long pixels = static_cast<long long>(p.imageWidth) * p.imageHeight;
  auto refuse = [](const std::string& what) {
    ZEL_LOG("%s: error: %s\n", "Phsft::loadCalibration", what.c_str());
    reportSettingsError(what);
    return false;
  };
  if (p.imageWidth <= 0 || p.imageHeight <= 0 || pixels > kMaxPixels) {
    return refuse("image size " + std::to_string(p.imageWidth) + "x" + std::to_string(p.imageHeight) +
                  " (\"image_width\", \"image_height\")");
  }
  if (p.nimage < kImagesUsed)
    return refuse("nimage " + std::to_string(p.nimage) + " below " + std::to_string(kImagesUsed));
  if (p.searchDiv < 1) return refuse("search_div " + std::to_string(p.searchDiv) + " below 1");
  if (const char* key = firstNonFinite({{"step_diff", p.stepDiff},
                                        {"max_step", p.maxStep},
                                        {"max_ph_diff", p.maxPhDiff},
                                        {"max_tex_diff", p.maxTexDiff},
                                        {"max_parallax", p.maxParallax},
                                        {"min_parallax", p.minParallax},
                                        {"evec_error", p.evecError}})) {
    return refuse(std::string(key) + " is not a finite number");
  }
  if (p.matchMode != 0 && p.matchMode != 1) {
    ZEL_LOG("%s: error: match_mode %d is neither 0 nor 1\n", "Phsft::loadCalibration", p.matchMode);
    return false;
  }
  grid_.allocate(p.imageWidth, p.imageHeight);
  bands_.resize(static_cast<std::size_t>(threads_));
  for (Band& band : bands_) {
    const std::size_t plane = static_cast<std::size_t>(kBandRows) * p.imageWidth;
    for (CameraPlanes& c : band.cam) c.allocate(plane);
    for (std::vector<std::uint8_t>& g : band.gray) g.assign(plane * kGrayPlanes, 0);
  }
  Thresholds t;
  t.searchDiv = p.searchDiv;
  t.bwDiff = p.bwDiff;
  t.brightness = p.brightness;
  t.darkness = p.darkness;
  t.stepDiff = p.stepDiff;
  t.maxStep = p.maxStep;
  t.maxPhDiff = p.maxPhDiff;
  t.maxTexDiff = p.maxTexDiff;
  t.maxParallax = p.maxParallax;
  t.minParallax = p.minParallax;
  t.rightDupCnt = p.rightDupCnt;
  t.lsPoints = p.lsPoints;
  t.evecError = p.evecError;
  t.matchMode = p.matchMode;
  thresholds_ = t;
  if (p.matchMode == 0) {
    matchers_.assign(threads_, RowMatcher(p.imageWidth, p.searchDiv));
    measureMatchers_.clear();
  } else {
    measureMatchers_.assign(threads_, MeasureMatcher(p.imageWidth));
    matchers_.clear();
  }
  prepareWrappedPhaseTable();

  // A coord other than 0 and 1 keeps the calibration in force, which is only
  // usable when there is one and its maps fit the configured size.
  const bool previousUsable = everLoaded_ && stereo_.left.mapSize() == cv::Size(p.imageWidth, p.imageHeight);
  if (p.coord == 0 || p.coord == 1) stereo_.configure(p.imageWidth, p.imageHeight);
  if (!loadStereoCalibration(dir, p.coord, p.imageWidth, p.imageHeight, previousUsable, stereo_)) return false;
  stereo_.left.compactMaps();
  stereo_.right.compactMaps();
  everLoaded_ = true;
  calibrated_ = true;
  return true;
}

void PhsftDecoder::rectifyBand(const ImagePair& images, int y0, int y1, Band& band) {
  platform::Stopwatch sw;
  const std::size_t raw = grid_.pixels();
  const std::size_t plane = static_cast<std::size_t>(kBandRows) * grid_.width;  // a band plane's stride
  const std::size_t filled = static_cast<std::size_t>(y1 - y0) * grid_.width;
  for (int c = 0; c < 2; ++c) {
    CameraPlanes& cam = band.cam[c];
    const UndistortCamera& rc = c == 0 ? stereo_.left : stereo_.right;
    const std::uint8_t* set = c == 0 ? images.left : images.right;
    // Image k of the set: 0 black, 1 white, 2 to 8 the Gray planes, 9 to 12
    // the fringes. All 13 share the maps, so they are rectified together.
    const std::uint8_t* raws[kImagesUsed];
    std::uint8_t* outs[kImagesUsed];
    for (int k = 0; k < kImagesUsed; ++k) {
      raws[k] = set + k * raw;
      if (k == 0) {
        outs[k] = cam.black.data();
      } else if (k == 1) {
        outs[k] = cam.white.data();
      } else if (k <= 8) {
        outs[k] = band.gray[c].data() + (k - 2) * plane;
      } else {
        outs[k] = cam.fringe.data() + (k - 9) * plane;
      }
    }
    rc.rectifyRowsOfMany(raws, kImagesUsed, y0, y1, outs);
    // Each Gray plane goes into its bit of the code.
    for (int i = 0; i < kGrayPlanes; ++i) foldGrayPlane(cam, outs[2 + i], i, 0, filled);
  }
  band.rectifyMs += sw.elapsedMs();
}

void PhsftDecoder::decodeBands(const ImagePair& images) {
  const int h = grid_.height;
  const int w = grid_.width;
  const Thresholds t = thresholds_;
  const int count = (h + kBandRows - 1) / kBandRows;
  // Bands are independent up to the matching inside each row; the dynamic
  // schedule only balances the load, the result does not depend on it. Both
  // matching modes share the rectification and the phase steps.
  for (Band& band : bands_) band.rectifyMs = 0;
#pragma omp parallel for schedule(dynamic, 1) num_threads(threads_)
  for (int b = 0; b < count; ++b) {
    const int thread = omp_get_thread_num();
    Band& band = bands_[static_cast<std::size_t>(thread)];
    const int y0 = b * kBandRows;
    const int y1 = std::min(h, y0 + kBandRows);
    rectifyBand(images, y0, y1, band);
    for (int y = y0; y < y1; ++y) {
      computePhaseRow(band.cam[0], w, kBandRows, y - y0, t);
      computePhaseRow(band.cam[1], w, kBandRows, y - y0, t);
      const MatchRowView row = MatchRowView::start(band.cam[0], band.cam[1], y - y0, grid_, y);
      if (t.matchMode == 0) {
        matchers_[static_cast<std::size_t>(thread)].matchRow(row, t);
      } else {
        measureMatchers_[static_cast<std::size_t>(thread)].matchRow(row, t);
      }
    }
  }
}

void PhsftDecoder::filterMatches() {
  const int h = grid_.height;
  const Thresholds t = thresholds_;
  if (t.matchMode == 0) {
#pragma omp parallel for schedule(static) num_threads(threads_)
    for (int y = 0; y < h; ++y) applyUpperNeighbourTest(grid_, y, t);
  } else {
#pragma omp parallel for schedule(static) num_threads(threads_)
    for (int y = 0; y < h; ++y) applyNeighbourSupport(grid_, y, t);
    removeSmallRegions(grid_, t, regionScratch_);
  }
}

PointGrid PhsftDecoder::pointGrid() {
  PointGrid g;
  g.width = grid_.width;
  g.height = grid_.height;
  g.disparity = grid_.disparity.data();
  g.leftMask = grid_.mask.data();
  g.texture = grid_.texture.data();  // the left white reference is the texture
  g.rowCounts = grid_.rowCounts.data();
  return g;
}

int PhsftDecoder::computePoints(int qEvec, PhsftOutput& out) {
  // The points go straight into output arrays sized for every pixel with
  // mask 0; the few the method rejects are squeezed out after. No per-pixel
  // record buffer, no copy.
  out.setCount(0);
  PointGrid g = pointGrid();
  const int slots = countSlots(g, threads_);
  if (slots < 1) {
    out.clear();
    return 0;
  }
  if (!out.allocate(slots)) {
    ZEL_LOG("%s: error: no memory for %d points\n", "Phsft::exec", slots);
    return 0;
  }
  g.points = out.points.get();
  g.colors = out.colors.get();
  g.pixelIndices = out.pixelIndices.get();
  const int accepted = qEvec == 0 ? reprojectPoints(stereo_.Q, g, threads_)
                                  : triangulateRays(stereo_, thresholds_.evecError, g, threads_);
  const int n = accepted == slots ? slots : compactPoints(g.points, g.colors, g.pixelIndices, slots);
  if (n < 1) {
    out.clear();
    return 0;
  }
  out.setCount(n);
  return n;
}

std::int32_t PhsftDecoder::exec(const ImagePair& images, int qEvec, PhsftOutput& out) {
  ZEL_LOG("%s\n", "Phsft::exec");
  platform::Stopwatch total;
  platform::Stopwatch stage;
  if (!calibrated_ || images.left == nullptr || images.right == nullptr) {
    ZEL_LOG("%s: error: %s\n", "Phsft::exec", calibrated_ ? "no images" : "not calibrated");
    out.clear();
    return 0;
  }
  decodeBands(images);
  platform::Stopwatch filter;
  filterMatches();
  times_.filter = filter.elapsedMs();
  // Rectification runs band by band between the phase steps and matching:
  // its share is the threads' rectifying time, spread over the threads.
  double rectifyMs = 0;
  for (const Band& band : bands_) rectifyMs += band.rectifyMs;
  const double decodeMs = stage.lapMs();
  times_.remap = std::min(decodeMs, rectifyMs / static_cast<double>(bands_.size()));
  times_.ps = decodeMs - times_.remap;
  const int n = computePoints(qEvec, out);
  times_.pc = stage.lapMs();
  times_.sum = stage.elapsedMs();
  ZEL_LOG(" time: remap[%.2f]ps[%.2f]pc[%.2f]sum[%.2f]ms\n", times_.remap, times_.ps, times_.pc, times_.sum);
  ZEL_LOG(" points=%d\n", n);
  times_.total = total.elapsedMs();
  if (n < 1) return 0;
  ZEL_LOG(" total[%.2f]ms\n", times_.total);
  return n;
}

}  // namespace zel
