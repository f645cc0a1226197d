#pragma once
// The decoding engine behind the SGBM3D interface object: the library-wide
// working state (stereo calibration, matcher values, buffers) and the stages
// of exec. One instance lives in the library; tests and benchmarks may create
// their own.
#include "decoder/common/camera_models.h"
#include "decoder/common/decoder_output.h"
#include "decoder/common/point_output.h"
#include "decoder/sgbm/disparity_map.h"
#include "decoder/sgbm/sgbm_params.h"
#include "zel_image_pair.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace zel {

// The matcher's eleven values and the two-ray tolerance, copied from the
// settings by loadCalibration only.
struct MatcherValues {
  int minDisparity = -16;
  int numDisparities = 256;
  int blockSize = 5;
  int p1 = 200;
  int p2 = 800;
  int disp12MaxDiff = -1;
  int preFilterCap = 1;
  int uniquenessRatio = 15;
  int speckleWindowSize = 100;
  int speckleRange = 16;
  int mode = 0;
  double evecError = 2.5e-13;

  static MatcherValues of(const SgbmParams& p);
};

struct SgbmStageTimes {
  double remap = 0, sgbm = 0, pc = 0, sum = 0, total = 0;  // milliseconds
};

class SgbmDecoder {
 public:
  SgbmDecoder() = default;

  // Sizes the buffers for the configured image size, copies the matcher
  // values and loads the calibration selected by "coord" from dir (which ends
  // in a separator). False only for an unusable image size; whether the
  // calibration files loaded is calibrated().
  bool loadCalibration(const SgbmParams& params, const std::string& dir);
  bool calibrated() const { return calibrated_; }
  int width() const { return width_; }
  int height() const { return height_; }

  // Full decode with the log lines; fills out and returns its count (0: out
  // cleared). With rectify, raw is rectified into rectifiedOut[c] when given
  // (width x height bytes each), else into buffers of the engine; without,
  // rectified is matched as it is. Throws nothing: an OpenCV failure (for
  // example a block size the matcher refuses) is logged and gives 0.
  std::int32_t exec(const ImagePair& raw, const ImagePair& rectified, bool rectify, std::uint8_t* const rectifiedOut[2],
                    int qEvec, DecoderOutput& out);

  // The stages, for tests and benchmarks (exec runs them in this order).
  // False when an input is missing or does not fit the calibration.
  bool prepareImages(const ImagePair& raw, const ImagePair& rectified, bool rectify,
                     std::uint8_t* const rectifiedOut[2]);
  // Creates the matcher, computes and marks the disparity. May throw
  // cv::Exception for values the matcher refuses. Refused: a disparity count
  // below 1 (the matcher would abort the process); UnreadableMap: a raw map of
  // an element type or size the marking cannot read.
  enum class MatchResult { Ok, Refused, UnreadableMap };
  MatchResult matchPair();
  int computePoints(int qEvec);  // returns the accepted count

  const StereoCamera& stereo() const { return stereo_; }
  const MatcherValues& matcherValues() const { return values_; }
  const ValidRegion& lastRegion() const { return region_; }
  const cv::Mat& rawDisparity() const { return rawDisparity_; }
  const cv::Mat& matcherInput(int camera) const { return input_[camera]; }
  const std::vector<std::uint8_t>& leftMask() const { return leftMask_; }
  const std::vector<double>& disparity() const { return disparity_; }
  const SgbmStageTimes& lastTimes() const { return times_; }
  static constexpr int kThreads = 2;

 private:
  PointGrid pointGrid();

  StereoCamera stereo_;
  bool everLoaded_ = false;
  bool calibrated_ = false;
  int width_ = 0;
  int height_ = 0;
  MatcherValues values_;
  cv::Mat input_[2];      // the matcher's inputs of the current exec
  cv::Mat rectified_[2];  // rectification targets when the caller gives none
  cv::Mat rawDisparity_;
  ValidRegion region_;
  std::vector<std::uint8_t> texture_;
  std::vector<std::uint8_t> leftMask_;
  std::vector<double> disparity_;
  std::vector<PointRecord> records_;
  std::vector<int> rowCounts_;
  SgbmStageTimes times_;
};

}  // namespace zel
