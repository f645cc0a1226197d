#pragma once
// A direct implementation of the decoding steps, written for clarity, not
// speed: whole-image passes in the documented order, double fringe images,
// std::atan2 per pixel, a linear scan over all blocks for the coarse search,
// one sequential matching pass. The optimised decoder must equal it bit for
// bit.
#include "dec_phsft.h"
#include "decoder/common/camera_models.h"
#include "decoder/phsft/decode_buffers.h"

#include <cstdint>
#include <vector>

namespace zel::test {

struct ReferenceResult {
  int count = 0;
  std::vector<float> points;
  std::vector<std::uint8_t> colors;
  std::vector<std::int32_t> pixelIndices;
  std::vector<std::uint8_t> leftMask;
  std::vector<double> disparity;
  std::vector<double> phase[2];
  std::vector<std::uint8_t> code[2];
  std::vector<std::uint8_t> mask[2];  // masks after the phase steps
};

ReferenceResult referenceDecode(const StereoCamera& stereo, const Thresholds& t, int width, int height,
                                const ImagePair& images, int qEvec);

// The phase steps alone on already filed images (black, white, black-corrected
// Gray planes, fringes as doubles), for the edge-case tests.
struct FiledImages {
  int width = 0, height = 0;
  std::vector<std::uint8_t> black, white;
  std::vector<std::uint8_t> gray[7];
  std::vector<double> fringe[4];
};
void referencePhase(const FiledImages& in, const Thresholds& t, std::vector<std::uint8_t>& mask,
                    std::vector<std::uint8_t>& code, std::vector<double>& phase);

// The matching steps alone, one sequential pass; maskL and maskR are updated
// in place, disp receives the disparity image.
struct MatchInput {
  int width, height;
  const double* phaseL;
  const double* phaseR;
  const std::uint8_t* whiteL;
  const std::uint8_t* whiteR;
  const std::uint8_t* codeL;
  const std::uint8_t* codeR;
};
void referenceMatch(const MatchInput& in, const Thresholds& t, std::vector<std::uint8_t>& maskL,
                    std::vector<std::uint8_t>& maskR, std::vector<double>& disp);

}  // namespace zel::test
