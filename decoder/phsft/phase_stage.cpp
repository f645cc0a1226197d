#include "decoder/phsft/phase_stage.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace zel {

namespace {

constexpr int kDiffRange = 511;  // -255 .. 255

struct Tables {
  std::uint8_t grayToBinary[128];
  // atan2(dy, dx) for dy in [0, 255] (1 MB): a negative dy gives minus the
  // value for -dy, as atan2 is odd in y. Where the library's atan2 is not
  // exactly odd, the table covers every dy instead (2 MB) and `odd` is false.
  std::vector<double> atan2;
  bool odd = true;
  Tables() {
    for (int g = 0; g < 128; ++g) {
      int b = 0;
      for (int s = g; s != 0; s >>= 1) b ^= s;
      grayToBinary[g] = static_cast<std::uint8_t>(b);
    }
    for (int dy = 1; dy <= 255 && odd; ++dy) {
      for (int dx = -255; dx <= 255 && odd; ++dx) {
        odd = std::atan2(static_cast<double>(-dy), static_cast<double>(dx)) ==
              -std::atan2(static_cast<double>(dy), static_cast<double>(dx));
      }
    }
    const int first = odd ? 0 : -255;
    atan2.resize(static_cast<std::size_t>(256 - first) * kDiffRange);
    for (int dy = first; dy <= 255; ++dy) {
      for (int dx = -255; dx <= 255; ++dx) {
        atan2[static_cast<std::size_t>(dy - first) * kDiffRange + (dx + 255)] =
            std::atan2(static_cast<double>(dy), static_cast<double>(dx));
      }
    }
  }
  double phase(int dy, int dx) const {
    if (!odd) return atan2[static_cast<std::size_t>(dy + 255) * kDiffRange + (dx + 255)];
    const double v = atan2[static_cast<std::size_t>(dy < 0 ? -dy : dy) * kDiffRange + (dx + 255)];
    return dy < 0 ? -v : v;
  }
};

const Tables& tables() {
  static const Tables t;
  return t;
}

}  // namespace

std::uint8_t grayToBinary(std::uint8_t gray) { return tables().grayToBinary[gray & 127]; }

double wrappedPhase(int dy, int dx) { return tables().phase(dy, dx); }

void prepareWrappedPhaseTable() { (void)tables(); }

void foldGrayPlane(CameraPlanes& c, const std::uint8_t* plane, int i, std::size_t begin, std::size_t end) {
  const std::uint8_t* __restrict white = c.white.data();
  const std::uint8_t* __restrict black = c.black.data();
  const std::uint8_t* __restrict in = plane;
  std::uint8_t* __restrict code = c.code.data();
  const std::uint8_t bit = static_cast<std::uint8_t>(64 >> i);
  const std::uint8_t keep = i == 0 ? 0 : 0xff;
  // Branch-free and free of aliasing so that the loop vectorises: the
  // threshold is the 8-bit difference (a black above white wraps), halved.
#pragma omp simd
  for (std::size_t p = begin; p < end; ++p) {
    const unsigned b = black[p], v = in[p];
    const unsigned corrected = v - std::min(v, b);  // max(v - b, 0)
    const unsigned thr = ((white[p] - b) & 255u) >> 1;
    const unsigned above = 0u - static_cast<unsigned>(corrected > thr);  // all ones where the bit is set
    code[p] = static_cast<std::uint8_t>((code[p] & keep) | (bit & above));
  }
}

void computePhaseRow(CameraPlanes& c, int width, int height, int y, const Thresholds& t) {
  const Tables& tab = tables();
  const std::size_t plane = static_cast<std::size_t>(width) * height;
  const std::size_t off = static_cast<std::size_t>(y) * width;
  const std::uint8_t* white = c.white.data() + off;
  const std::uint8_t* black = c.black.data() + off;
  std::uint8_t* mask = c.mask.data() + off;
  std::uint8_t* code = c.code.data() + off;
  double* phi = c.phase.data() + off;
  const std::uint8_t* f0 = c.fringe.data() + off;
  const std::uint8_t* f1 = f0 + plane;
  const std::uint8_t* f2 = f1 + plane;
  const std::uint8_t* f3 = f2 + plane;

  // Mask: contrast and brightness, then the border columns.
  for (int x = 0; x < width; ++x) {
    const int w = white[x];
    const int b = black[x];
    mask[x] = (std::abs(w - b) < t.bwDiff || w > t.brightness || w < t.darkness) ? kMaskContrast : 0;
  }
  for (int x = 0; x < kBorderColumns && x < width; ++x) mask[x] = kMaskBorder;
  for (int x = width - kBorderColumns < 0 ? 0 : width - kBorderColumns; x < width; ++x) mask[x] = kMaskBorder;

  // The folded Gray value to its binary value.
  for (int x = 0; x < width; ++x) code[x] = tab.grayToBinary[code[x] & 127];

  // Wrapped phase.
  for (int x = 0; x < width; ++x) {
    double p = tab.phase(f3[x] - f1[x], f2[x] - f0[x]);
    if (!std::isfinite(p)) {
      p = 0.0;
      mask[x] = kMaskPhaseNotFinite;
    }
    phi[x] = p;
  }

  // Forward pass: the code has stepped while the phase has not wrapped yet.
  // A step moved past x + 1 lands between x + 1 and x + 2; the pass resumes
  // after it (x + 3) so that it is not met and pushed on again. Otherwise, at
  // a depth edge where the phase jumps without wrapping, the step would
  // travel column by column up to the next wrap: a whole period with the
  // wrong code, matched one period away.
  const double s = t.stepDiff;
  for (int x = 2; x < width - 2;) {
    int next = x + 1;
    if (mask[x] == 0 && code[x - 1] + 1 == code[x] && phi[x] > s) {
      next = x + 3;
      for (int j = x; j <= x + 1; ++j) {
        if (phi[j] < -s) {
          next = j + 1;
          break;
        }
        code[j] = code[x - 1];
        if (std::abs(f2[j] - f3[j]) < 20 && f1[j] - f2[j] > 30) {
          phi[j] = -2.3562;
          code[j] = code[j + 1];
        }
      }
    }
    x = next;
  }
  // Backward pass: the phase has wrapped while the code has not stepped yet.
  // A step moved past x - 1 is not moved again either (resume at x - 3).
  for (int x = width - 2; x > 2;) {
    int next = x - 1;
    if (code[x + 1] == code[x] + 1 && phi[x] < -s) {
      next = x - 3;
      for (int j = x; j >= x - 1; --j) {
        if (phi[j] > s) {
          next = j - 1;
          break;
        }
        code[j] = code[x + 1];
        if (std::abs(f1[j] - f3[j]) < 20 && f0[j] - f2[j] > 30) {
          phi[j] = M_PI;
          code[j] = code[j - 1];
        }
      }
    }
    x = next;
  }

  for (int x = 0; x < width; ++x) phi[x] = code[x] * M_PI * 2 + phi[x];
}

}  // namespace zel
