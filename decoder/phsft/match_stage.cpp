#include "decoder/phsft/match_stage.h"

#include <algorithm>
#include <cmath>

namespace zel {

namespace {

constexpr double kCoarseLimit = 1000.0;      // a block qualifies only below this phase distance
constexpr std::uint8_t kFitMaskLimit = 200;  // right pixels at or above are left out of the line fit

}  // namespace

RowMatcher::RowMatcher(int width, int searchDiv) {
  const int div = searchDiv < 1 ? 1 : searchDiv;
  const std::size_t blocks = static_cast<std::size_t>(width / div) + 1;
  average_.resize(blocks);
  sorted_.reserve(blocks);
  sortedValue_.reserve(blocks);
  sortedIndex_.reserve(blocks);
}

int RowMatcher::nearestBlock(double phase) {
  const int n = static_cast<int>(sortedValue_.size());
  if (n == 0) return -1;
  const double* v = sortedValue_.data();
  // split = first position whose value is above phase. Left phases mostly
  // rise along a row, so the previous split is usually right or one off.
  int split;
  auto fits = [&](int s) { return (s == 0 || v[s - 1] <= phase) && (s == n || v[s] > phase); };
  if (hint_ <= n && fits(hint_)) {
    split = hint_;
  } else if (hint_ < n && fits(hint_ + 1)) {
    split = hint_ + 1;
  } else {
    split = static_cast<int>(std::upper_bound(v, v + n, phase) - v);
  }
  hint_ = split;
  // The nearest values lie on either side of the split; the rounded distance
  // grows monotonically away from it, so every block at the smallest distance
  // sits in one run around the split. Take the lowest block index among them,
  // as a scan over the blocks in index order keeping the first minimum would.
  double best = INFINITY;
  if (split > 0) best = std::fabs(v[split - 1] - phase);
  if (split < n) best = std::min(best, std::fabs(v[split] - phase));
  if (!(best < kCoarseLimit)) return -1;
  int block = INT32_MAX;
  for (int k = split - 1; k >= 0 && std::fabs(v[k] - phase) == best; --k) block = std::min(block, sortedIndex_[k]);
  for (int k = split; k < n && std::fabs(v[k] - phase) == best; ++k) block = std::min(block, sortedIndex_[k]);
  return block;
}

void RowMatcher::matchRow(const MatchRowView& row, const Thresholds& t) {
  const int width = row.width;
  const int div = t.searchDiv;
  const double *phL = row.phL, *phR = row.phR;
  std::uint8_t* maskL = row.maskL;
  std::uint8_t* maskR = row.maskR;
  const std::uint8_t *whiteL = row.whiteL, *whiteR = row.whiteR, *codeL = row.codeL, *codeR = row.codeR;
  double* disp = row.disp;
  std::uint8_t* pending = row.pending;

  // Block averages of the valid right pixels, taken before this row's matches
  // start counting uses in the right mask.
  const int blocks = width / div + 1;
  sorted_.clear();
  for (int j = 0; j < blocks; ++j) {
    double sum = 0.0;
    int n = 0;
    const int end = std::min(j * div + div, width);
    for (int c = j * div; c < end; ++c) {
      if (maskR[c] == 0) {
        sum += phR[c];
        ++n;
      }
    }
    const double avg = n > 0 ? sum / n : 0.0;
    average_[j] = avg;
    if (avg != 0.0) sorted_.push_back({avg, j});
  }
  // Averages mostly ascend along a row: an insertion sort is near linear then;
  // fall back to a full sort when the row is far from ordered.
  auto less = [](const Block& a, const Block& b) {
    return a.average < b.average || (a.average == b.average && a.index < b.index);
  };
  {
    const std::size_t n = sorted_.size();
    std::size_t moves = 0;
    bool gaveUp = false;
    for (std::size_t i = 1; i < n && !gaveUp; ++i) {
      Block cur = sorted_[i];
      std::size_t k = i;
      while (k > 0 && less(cur, sorted_[k - 1])) {
        sorted_[k] = sorted_[k - 1];
        --k;
        if (++moves > 8 * n) {
          gaveUp = true;
          break;
        }
      }
      sorted_[k] = cur;
    }
    if (gaveUp) std::sort(sorted_.begin(), sorted_.end(), less);
  }
  sortedValue_.clear();
  sortedIndex_.clear();
  for (const Block& b : sorted_) {
    sortedValue_.push_back(b.average);
    sortedIndex_.push_back(b.index);
  }
  hint_ = 0;

  const int dupLimit = t.rightDupCnt;
  const int ls = t.lsPoints;
  for (int x = kBorderColumns; x <= width - kBorderColumns - 1; ++x) {
    if (maskL[x] != 0) continue;
    const double pL = phL[x];
    const int m = nearestBlock(pL);
    int r = -1;
    double best = 0.0;
    if (m >= 0) {
      const int start = std::max(m - 1, 0) * div;
      const int end = std::min(start + 2 * div, width);
      for (int c = start; c < end; ++c) {
        if (maskR[c] >= dupLimit) continue;
        const double diff = std::fabs(phR[c] - pL);
        if (r < 0 || diff < best) {
          best = diff;
          r = c;
        }
      }
    }
    if (r < 0 || best > t.maxPhDiff) {
      maskL[x] = kMaskNoMatch;
      continue;
    }
    const double wl = whiteL[x];
    if (std::fabs(wl - static_cast<double>(whiteR[r])) > wl * t.maxTexDiff) maskL[x] = kMaskTexture;
    if (std::abs(codeL[x] - codeR[r]) > 1) maskL[x] = kMaskCode;

    // Sub-pixel position from a line fitted to the right phase around r; the
    // window is clipped to the row.
    double d;
    {
      const int ws = std::max(r - ls / 2, 0);
      const int we = std::min(r - ls / 2 + ls, width);
      int n = 0;
      double sumPh = 0.0;
      double sumK = 0.0;
      for (int k = ws; k < we; ++k) {
        if (maskR[k] < kFitMaskLimit) {
          ++n;
          sumPh += phR[k];
          sumK += k;
        }
      }
      if (n > 2) {
        const double phBar = sumPh / n;
        const double kBar = sumK / n;
        double sxy = 0.0;
        double sxx = 0.0;
        for (int k = ws; k < we; ++k) {
          sxy += (phR[k] - phBar) * (k - kBar);
          sxx += (k - kBar) * (k - kBar);
        }
        const double a = sxy / sxx;
        const double b = phBar - a * kBar;
        d = static_cast<double>(static_cast<float>(x)) - (pL - b) / a;
      } else {
        d = static_cast<float>(x) - static_cast<float>(r);
      }
    }
    disp[x] = d;
    if (!std::isfinite(d)) {
      disp[x] = 0.0;
      maskL[x] = kMaskDisparityNotFinite;
    } else if (d < t.minParallax || d > t.maxParallax) {
      disp[x] = 0.0;
      maskL[x] = kMaskParallax;
    } else if (std::fabs(disp[x - 1] - d) > t.maxStep) {
      maskL[x] = kMaskStep;
      maskL[x - 1] = kMaskStep;
    } else {
      pending[x] = 1;
    }
    ++maskR[r];  // the right pixel has been used once more (8-bit counter)
  }
}

void applyUpperNeighbourTest(MatchGrid& buf, int y, const Thresholds& t) {
  const int width = buf.width;
  const std::size_t off = static_cast<std::size_t>(y) * width;
  const double* disp = buf.disparity.data() + off;
  const std::uint8_t* pending = buf.upperTestPending.data() + off;
  std::uint8_t* mask = buf.mask.data() + off;
  const double* above = y > 0 ? disp - width : disp;  // row 0 compares each pixel with itself
  const bool hasBelow = y + 1 < buf.height;
  const double* below = disp + width;
  const std::uint8_t* pendingBelow = pending + width;
  for (int x = 0; x < width; ++x) {
    bool mark = pending[x] && std::fabs(above[x] - disp[x]) > t.maxStep;
    if (hasBelow && pendingBelow[x] && std::fabs(disp[x] - below[x]) > t.maxStep) mark = true;
    if (mark) mask[x] = kMaskStep;
  }
}

}  // namespace zel
