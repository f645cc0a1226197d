#pragma once
// Turning a disparity image into points: the reprojection-matrix method, the
// two-ray method, and the copy into a decoder's output arrays. Shared by both
// decoders.
//
// A left pixel yields a point when its mask is 0 at the end; the methods mark
// the pixels whose point fails (code 1, and 200 for the two-ray method).
// Records are kept per pixel of the left grid; the output arrays list the
// accepted pixels in row-major order, which is the order a sequential
// compaction of the records would give.
#include "decoder/common/camera_models.h"

#include <cstdint>

namespace zel {

struct PointRecord {
  float x, y, z;
  std::uint8_t color[3];
  std::uint8_t unused;
};
static_assert(sizeof(PointRecord) == 16);

// Mask codes of the point stage.
constexpr std::uint8_t kMaskPointNotFinite = 1;  // also: the two rays are parallel
constexpr std::uint8_t kMaskRayGap = 200;

// Views over a decoder's working buffers, all width x height, row-major.
struct PointGrid {
  int width = 0;
  int height = 0;
  const double* disparity = nullptr;
  std::uint8_t* leftMask = nullptr;
  const std::uint8_t* texture = nullptr;
  PointRecord* records = nullptr;
  int* rowCounts = nullptr;  // height + 1 entries of scratch
  // Direct output instead of records (records null): the point methods write
  // the s-th pixel with mask 0 (row-major order, counted by countSlots
  // before; rowCounts[y] holds row y's first slot) into slot s of these
  // arrays, and a pixel they reject leaves its slot's index at -1 for
  // compactPoints to drop.
  float* points = nullptr;
  std::uint8_t* colors = nullptr;
  std::int32_t* pixelIndices = nullptr;
};

// Counts the pixels with mask 0: rowCounts[y] becomes the number of them in
// the rows above y. Returns the total.
int countSlots(const PointGrid& grid, int threads);

// Drops the slots whose index is -1 from the direct output arrays of slots
// entries, keeping the order. Returns the number kept.
int compactPoints(float* points, std::uint8_t* colors, std::int32_t* pixelIndices, int slots);

// Reprojection method: (X, Y, Z, w) = Q * (x, y, d, 1) for every pixel with
// mask 0, point = (X/w, Y/w, Z/w) as floats; a point that is not finite marks
// its pixel notFiniteCode (the SGBM decoder uses its own code there). Returns
// the number of accepted points.
int reprojectPoints(const cv::Mat& q, const PointGrid& grid, int threads,
                    std::uint8_t notFiniteCode = kMaskPointNotFinite);

// Two-ray method: midpoint of the closest points of the rays of (x, y) in the
// left and (x - d, y) in the right rectified camera; a gap above evecError
// rejects the pixel. Returns the number of accepted points.
int triangulateRays(const StereoCamera& stereo, double evecError, const PointGrid& grid, int threads);

// Writes the accepted points (mask 0) in row-major order: 3 * count floats,
// 3 * count colour bytes, count pixel indices (row * width + column). count
// must be the number of pixels with mask 0.
void collectPoints(const PointGrid& grid, int count, float* points, std::uint8_t* colors, std::int32_t* pixelIndices,
                   int threads);

}  // namespace zel
