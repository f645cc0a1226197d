#pragma once
// The decoding engine behind the Phsft interface object: the library-wide
// working state (stereo calibration, thresholds, buffers) and the stages of
// exec. One instance lives in the library; tests and benchmarks may create
// their own.
#include "dec_phsft.h"
#include "decoder/common/camera_models.h"
#include "decoder/common/decoder_output.h"
#include "decoder/phsft/decode_buffers.h"
#include "decoder/phsft/match_stage.h"
#include "decoder/phsft/measure_match.h"
#include "decoder/phsft/phsft_params.h"

#include <memory>
#include <string>
#include <vector>

namespace zel {

using PhsftOutput = DecoderOutput;

struct StageTimes {
  double remap = 0, ps = 0, pc = 0, sum = 0, total = 0;  // milliseconds
  double filter = 0;                                     // of ps: the tests across rows after matching
};

class PhsftDecoder {
 public:
  PhsftDecoder();

  // Allocates the buffers for the configured size, copies the thresholds and
  // loads the calibration selected by "coord" from dir (which ends in a
  // separator). False on invalid settings or a failed load; the decoder is
  // then uncalibrated until the next successful call.
  bool loadCalibration(const PhsftParams& params, const std::string& dir);
  bool calibrated() const { return calibrated_; }
  int width() const { return grid_.width; }
  int height() const { return grid_.height; }

  // Full decode with the timing lines; fills out and returns its count
  // (0: out cleared). qEvec selects the point method.
  std::int32_t exec(const ImagePair& images, int qEvec, PhsftOutput& out);

  // The stages, for tests and benchmarks (exec runs them in this order).
  // decodeBands rectifies, phase-decodes and matches the image band by band
  // of rows, leaving the matches in the grid; filterMatches runs the tests
  // across rows.
  void decodeBands(const ImagePair& images);
  void filterMatches();
  // Fills out with the accepted points and returns their count (0: out
  // cleared).
  int computePoints(int qEvec, PhsftOutput& out);

  const MatchGrid& grid() const { return grid_; }
  const StereoCamera& stereo() const { return stereo_; }
  const Thresholds& thresholds() const { return thresholds_; }
  const StageTimes& lastTimes() const { return times_; }
  int threads() const { return threads_; }

 private:
  PointGrid pointGrid();

  StereoCamera stereo_;
  bool everLoaded_ = false;
  bool calibrated_ = false;
  Thresholds thresholds_;
  // The camera planes of one band of rows, one set per thread: all that is
  // held of the rectified images, the codes and the phases.
  struct Band {
    CameraPlanes cam[2];
    std::vector<std::uint8_t> gray[2];  // the seven Gray planes of each camera, until folded
    double rectifyMs = 0;               // time spent rectifying during the current exec
  };
  void rectifyBand(const ImagePair& images, int y0, int y1, Band& band);

  MatchGrid grid_;
  std::vector<Band> bands_;
  std::vector<RowMatcher> matchers_;
  std::vector<MeasureMatcher> measureMatchers_;
  RegionScratch regionScratch_[2];  // of the small-region filter
  int threads_ = 2;
  StageTimes times_;
};

}  // namespace zel
