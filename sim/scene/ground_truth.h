#pragma once
// Ground truth of a rendered view, per pixel of the left camera's raw grid or
// of the left rectified grid, and its binary file.
//
// File layout (all little-endian):
//   offset  size  content
//   0       8     magic "ZELTRUTH"
//   8       4     uint32 version = 1
//   12      4     int32 width
//   16      4     int32 height
//   20      4     int32 grid: 0 = left camera raw pixels, points in the left
//                 camera frame; 1 = left rectified pixels, points in the left
//                 rectified camera frame (the frame of the decoder's output
//                 with the camera parameter files)
//   24      4     uint32 header size = 32
//   28      4     uint32 reserved = 0
//   32            flags: W*H uint8 (TruthFlag bits), zero padding to a multiple of 4
//                 depth: W*H float32 (z in the grid's frame, mm)
//                 xyz: W*H*3 float32 (x, y, z per pixel)
//                 projector column: W*H float32 (continuous, 0 = left edge)
//                 disparity: W*H float32 (x_left - x_right in rectified pixels)
// Pixels rows top to bottom. Values that do not exist (no hit, not lit) are NaN.
#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

namespace sim {

enum TruthFlag : uint8_t {
  kSurfaceHit = 1,      // the pixel's centre ray hits a surface
  kSeenByRight = 2,     // that point lies inside the right image and is not occluded from it
  kLitByProjector = 4,  // inside the projector image, facing it, not in its shadow
  kMixedPixel = 8,      // the pixel's footprint spans different surfaces or shadow edges
  kSeenByLeft = 16,     // inside the left raw image (always set on the raw grid when hit)
};

enum class TruthGrid : int32_t { LeftRaw = 0, LeftRectified = 1 };

struct GroundTruth {
  TruthGrid grid = TruthGrid::LeftRaw;
  int width = 0, height = 0;
  cv::Mat flags;            // CV_8U
  cv::Mat depth;            // CV_32F
  cv::Mat xyz;              // CV_32FC3
  cv::Mat projectorColumn;  // CV_32F
  cv::Mat disparity;        // CV_32F

  void allocate(TruthGrid g, int w, int h);
  // True when every flag in `mask` is set at (x, y).
  bool has(int x, int y, uint8_t mask) const { return (flags.at<uint8_t>(y, x) & mask) == mask; }
  // The same truth with no flag set outside columns x0..x1-1 and rows
  // y0..y1-1 (a matcher's valid region), so measures count only inside it.
  GroundTruth withinRegion(int x0, int y0, int x1, int y1) const;
  // The same truth where "seen by the right camera" also asks the partner
  // (x - disparity) to lie inside the right rectified image: rectification
  // crops the right camera's raw image, and the rectified images are all a
  // decoder has. Only for a truth on the left rectified grid (else a copy).
  GroundTruth withPartnerInRectifiedRight() const;

  bool save(const std::string& path, std::string* error = nullptr) const;
  // Reads a file written by save(); validates the header and the exact size.
  static bool load(const std::string& path, GroundTruth& out, std::string* error = nullptr);
  // The same from the file's bytes.
  static bool parse(const std::string& bytes, GroundTruth& out, std::string* error = nullptr);
};

constexpr size_t kTruthHeaderSize = 32;

}  // namespace sim
