#pragma once
// Per-pixel phase computation of one camera: validity mask, Gray code, wrapped
// phase, alignment of code and phase edges, absolute phase. Every row is
// independent, so rows may run on any thread in any order.
#include "decoder/phsft/decode_buffers.h"

namespace zel {

// Binary value of a 7-bit reflected Gray code.
std::uint8_t grayToBinary(std::uint8_t gray);

// atan2(dy, dx) for whole grey-level differences dy, dx in [-255, 255],
// computed once with std::atan2 so that lookups give its exact results.
double wrappedPhase(int dy, int dx);
// Builds the lookup table (idempotent, thread-safe); called at configuration
// so that the first decode does not pay for it.
void prepareWrappedPhaseTable();

// Folds Gray plane i (0 = most significant, bit value 64 >> i) of pixels
// [begin, end) into c.code: the bit is set where the black-corrected plane,
// max(p - black, 0), lies above the half-contrast threshold
// ((white - black) mod 256) div 2. Plane 0 starts the value afresh. Needs the
// black and white images filed first.
void foldGrayPlane(CameraPlanes& c, const std::uint8_t* plane, int i, std::size_t begin, std::size_t end);

// Runs every phase step on row y of camera c, whose code holds the folded
// Gray value of all seven planes.
void computePhaseRow(CameraPlanes& c, int width, int height, int y, const Thresholds& t);

}  // namespace zel
