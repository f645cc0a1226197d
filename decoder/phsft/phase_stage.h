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

// Runs every phase step on row y of camera c.
void computePhaseRow(CameraPlanes& c, int width, int height, int y, const Thresholds& t);

}  // namespace zel
