#pragma once
// Working buffers of the phase and matching stages, allocated once for the
// calibrated image size and reused by every decode.
#include "decoder/common/point_output.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace zel {

// The thresholds the decoding stages use, copied from the settings by
// loadCalibration only.
struct Thresholds {
  int searchDiv = 2;
  int bwDiff = 10;
  int brightness = 255;
  int darkness = 10;
  double stepDiff = 1.2;
  double maxStep = 1.0;
  double maxPhDiff = 0.5;
  double maxTexDiff = 0.8;
  double maxParallax = 400.0;
  double minParallax = -300.0;
  int rightDupCnt = 1;
  int lsPoints = 3;
  double evecError = 2.5e-13;
  int matchMode = 0;  // 0 phase-nearest with use counters, 1 measurement matching
};

// Mask codes of the phase and matching stages (0 = valid).
constexpr std::uint8_t kMaskContrast = 201;
constexpr std::uint8_t kMaskBorder = 202;
constexpr std::uint8_t kMaskPhaseNotFinite = 203;
constexpr std::uint8_t kMaskNoMatch = 205;
constexpr std::uint8_t kMaskTexture = 206;
constexpr std::uint8_t kMaskCode = 207;
constexpr std::uint8_t kMaskParallax = 208;
constexpr std::uint8_t kMaskStep = 209;
constexpr std::uint8_t kMaskDisparityNotFinite = 210;
// Measurement matching only:
constexpr std::uint8_t kMaskOccluded = 211;     // a nearer surface holds the right position
constexpr std::uint8_t kMaskSmallRegion = 212;  // part of a region under 50 pixels
constexpr std::uint8_t kMaskFarSideSeen = 213;  // claims a right position where a farther surface is seen
constexpr int kBorderColumns = 5;
constexpr int kGrayPlanes = 7;
constexpr int kFringes = 4;

// One camera's filed images and per-pixel results over a number of rows (a
// band of the image, or all of it), each plane rows x width.
// Fringe images are kept as the 8-bit values they are made from: every use
// of them compares or subtracts whole grey levels, which double arithmetic
// does exactly, so the narrower type changes no result.
// The Gray planes are not kept here: each is folded into its bit of `code`
// once rectified (foldGrayPlane), so `code` holds the 7-bit Gray value until
// the phase stage turns it into the binary period.
struct CameraPlanes {
  std::vector<std::uint8_t> black, white, fringe;  // fringe: 4 planes
  std::vector<std::uint8_t> mask, code;
  std::vector<double> phase;

  void allocate(std::size_t pixels) {
    black.assign(pixels, 0);
    white.assign(pixels, 0);
    fringe.assign(pixels * kFringes, 0);
    mask.assign(pixels, 0);
    code.assign(pixels, 0);
    phase.assign(pixels, 0.0);
  }
};

// The whole-image results of matching: what the neighbour tests, the region
// filter and the point stage read. The camera planes they come from are only
// ever held for a band of rows (see PhsftDecoder).
struct MatchGrid {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> mask;     // the left camera's mask codes (0 = a point)
  std::vector<std::uint8_t> texture;  // the left white reference
  std::vector<double> disparity;
  std::vector<std::uint8_t> upperTestPending;  // pixels whose disparity awaits the neighbour tests
  std::vector<int> rowCounts;

  std::size_t pixels() const { return static_cast<std::size_t>(width) * height; }
  void allocate(int w, int h) {
    if (w == width && h == height && !disparity.empty()) return;
    width = w;
    height = h;
    mask.assign(pixels(), 0);
    texture.assign(pixels(), 0);
    disparity.assign(pixels(), 0.0);
    upperTestPending.assign(pixels(), 0);
    rowCounts.assign(static_cast<std::size_t>(h) + 1, 0);
  }
};

// One row of both cameras as the matching stages see it: the camera planes'
// row and the grid's row. start() takes the left mask and white reference of
// the row into the grid (matching goes on in the grid's mask) and clears the
// row's disparities and pending marks, which every matching mode fills anew.
struct MatchRowView {
  int width;
  const double *phL, *phR;
  std::uint8_t *maskL, *maskR;
  const std::uint8_t *whiteL, *whiteR, *codeL, *codeR;
  double* disp;
  std::uint8_t* pending;

  // planeRow: the row within the planes (a band's), y: the image row.
  static MatchRowView start(CameraPlanes& left, CameraPlanes& right, int planeRow, MatchGrid& grid, int y) {
    const int w = grid.width;
    const std::size_t in = static_cast<std::size_t>(planeRow) * w;
    const std::size_t off = static_cast<std::size_t>(y) * w;
    std::copy(left.mask.data() + in, left.mask.data() + in + w, grid.mask.data() + off);
    std::copy(left.white.data() + in, left.white.data() + in + w, grid.texture.data() + off);
    MatchRowView r{w,
                   left.phase.data() + in,
                   right.phase.data() + in,
                   grid.mask.data() + off,
                   right.mask.data() + in,
                   grid.texture.data() + off,
                   right.white.data() + in,
                   left.code.data() + in,
                   right.code.data() + in,
                   grid.disparity.data() + off,
                   grid.upperTestPending.data() + off};
    std::fill(r.disp, r.disp + w, 0.0);
    std::fill(r.pending, r.pending + w, 0);
    return r;
  }
};

// Both cameras' planes and the grid over the whole image at once: how the
// unit tests drive the stages row by row.
struct DecodeBuffers {
  int width = 0;
  int height = 0;
  CameraPlanes cam[2];
  MatchGrid grid;

  std::size_t pixels() const { return static_cast<std::size_t>(width) * height; }
  void allocate(int w, int h) {
    width = w;
    height = h;
    for (CameraPlanes& c : cam) c.allocate(pixels());
    grid.allocate(w, h);
  }
  MatchRowView startRow(int y) { return MatchRowView::start(cam[0], cam[1], y, grid, y); }
};

}  // namespace zel
