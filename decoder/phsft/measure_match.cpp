#include "decoder/phsft/measure_match.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace zel {

namespace {

// Largest phase rise between two neighbouring right pixels of one surface
// (radians): a fringe period of two pixels. A larger rise is a depth edge.
constexpr double kMaxRise = M_PI;
// Largest ratio between the phase rises of neighbouring right pixels pairs
// of one surface; foreshortening changes the rise only gradually.
constexpr double kRiseRatio = 2.0;
// An end rise more than this factor away from the median of the next three
// rises marks a pixel partly of the other surface; at most kMaxTrim such
// pixels are left out at each end of a run.
constexpr double kEndRatio = 1.4;
constexpr int kMaxTrim = 2;
// How far a run answers for phases beyond its end pixels, in end rises
// (about right pixels): one where end pixels were trimmed (the surface goes
// on under the mixed pixels), a little at a clean end (beyond it lies
// another surface: 0.3 put a point of the demo scene off its surface with a
// calibrated, not the true, rig; 0.15 does not).
constexpr double kEndReach = 1.0;
constexpr double kCleanReach = 0.15;
// Largest disparity difference of two neighbouring left pixels taken as one
// surface when covering the right row (pixels): steep surfaces change their
// disparity by more than "max_step" per pixel.
constexpr double kJoinStep = 4.0;
// How far the right camera sees a surface beyond its leftmost stretch (right
// pixels): its grazing rim.
constexpr double kRimReach = 3.0;
// A run of the right row that stops the rim of a nearer surface (seenToEnd)
// spans at least kMinSeen + 4 columns, and its last three rises lie within
// kSeenRatio of the median of the three before them.
constexpr int kMinSeen = 4;
constexpr double kSeenRatio = 1.4;
// A disparity step above this (pixels) between neighbours is a depth edge.
constexpr double kEdgeJump = 3.0;
// Bins per right pixel of the coverage of the right row.
constexpr int kBinsPerPixel = 4;
// Smallest region of accepted pixels (connected through neighbours within
// "max_step") that is kept: wrong matches of pixels hidden from the right
// camera form short runs that do not join their neighbours.
constexpr int kMinRegion = 50;

}  // namespace

void PhaseRuns::build(const double* ph, const std::uint8_t* mask, int width) {
  ph_ = ph;
  // A pixel at a depth edge mixes the two surfaces' phases and splits the
  // jump into two smaller rises; a rise far above a neighbouring rise of the
  // same row marks such a pixel, and the run is cut there.
  // The border columns (202) are left out of matching only as left pixels:
  // their phase is as good as any, and the right border holds the partners
  // of left pixels near the left edge.
  auto usable = [&](int c) { return mask[c] == 0 || mask[c] == kMaskBorder; };
  auto rise = [&](int c) {
    if (c < 0 || c + 1 >= width || !usable(c) || !usable(c + 1)) return 0.0;
    const double step = ph[c + 1] - ph[c];
    return step > 0 && step <= kMaxRise ? step : 0.0;
  };
  auto rises = [&](int c) {
    const double s = rise(c);
    if (s == 0.0) return false;
    // A small rise at the very end of a run (no rise beyond it) is the end
    // pixel mixing in the other surface, not a surface: it does not cut the
    // run here but is trimmed below.
    const double before = rise(c - 1), after = rise(c + 1);
    return !(before > 0 && s > kRiseRatio * before && rise(c - 2) > 0) &&
           !(after > 0 && s > kRiseRatio * after && rise(c + 2) > 0);
  };
  runs_.clear();
  for (int r = 0; r + 1 < width;) {
    if (!rises(r)) {
      ++r;
      continue;
    }
    int first = r;
    while (r + 1 < width && rises(r)) ++r;
    int last = r;
    // At a depth edge or a shadow border the outermost pixels are partly the
    // other surface (or dark): their phase is pulled toward the other side,
    // which shows as an end rise unlike the rises inside the run. Leave such
    // pixels out, up to kMaxTrim per end.
    auto unlike = [&](double end, double a, double b, double c) {
      const double ref = std::max(std::min(a, b), std::min(std::max(a, b), c));  // median
      return end > kEndRatio * ref || end * kEndRatio < ref;
    };
    const int untrimmedFirst = first, untrimmedLast = last;
    for (int k = 0;
         k < kMaxTrim && last - first > 4 && unlike(rise(first), rise(first + 1), rise(first + 2), rise(first + 3));
         ++k)
      ++first;
    for (int k = 0;
         k < kMaxTrim && last - first > 4 && unlike(rise(last - 1), rise(last - 2), rise(last - 3), rise(last - 4));
         ++k)
      --last;
    if (last > first) {
      const double reachLo = first > untrimmedFirst ? kEndReach : kCleanReach;
      const double reachHi = last < untrimmedLast ? kEndReach : kCleanReach;
      runs_.push_back({first, last, ph[first] - reachLo * (ph[first + 1] - ph[first]),
                       ph[last] + reachHi * (ph[last] - ph[last - 1])});
    }
  }
  hint_.resize(runs_.size());
  for (std::size_t i = 0; i < runs_.size(); ++i) hint_[i] = runs_[i].first;
  // Index the runs by the phase periods they cover.
  bucketStart_.assign(kBuckets + 1, 0);
  for (const Run& run : runs_) {
    for (int k = bucketOf(run.lo); k <= bucketOf(run.hi); ++k) ++bucketStart_[k + 1];
  }
  for (int k = 0; k < kBuckets; ++k) bucketStart_[k + 1] += bucketStart_[k];
  bucketRuns_.resize(static_cast<std::size_t>(bucketStart_[kBuckets]));
  fill_.assign(bucketStart_.begin(), bucketStart_.begin() + kBuckets);
  for (int i = 0; i < static_cast<int>(runs_.size()); ++i) {
    for (int k = bucketOf(runs_[i].lo); k <= bucketOf(runs_[i].hi); ++k) bucketRuns_[fill_[k]++] = i;
  }
}

int PhaseRuns::bucketOf(double phase) {
  // Any rising function of the phase would do: runs are filed and looked up
  // through the same one, and a run's own phase range decides.
  constexpr double kPerPeriod = 1.0 / (2 * M_PI);
  const double k = std::floor((phase + M_PI) * kPerPeriod);
  if (!(k > 0)) return 0;  // NaN lands here too
  return k >= kBuckets - 1 ? kBuckets - 1 : static_cast<int>(k);
}

MeasureMatcher::MeasureMatcher(int width) {
  pos_.resize(static_cast<std::size_t>(width > 0 ? width : 0));
  cover_.resize(pos_.size() * kBinsPerPixel);
  owner_.resize(cover_.size());
  runOf_.resize(pos_.size());
  hidden_.resize(pos_.size());
  wrong_.resize(pos_.size());
  claim_.resize(pos_.size());
}

void MeasureMatcher::matchRow(const MatchRowView& row, const Thresholds& t) {
  const int width = row.width;
  const double *phL = row.phL, *phR = row.phR;
  std::uint8_t* maskL = row.maskL;
  const std::uint8_t* maskR = row.maskR;
  const std::uint8_t *whiteL = row.whiteL, *whiteR = row.whiteR, *codeL = row.codeL, *codeR = row.codeR;
  double* disp = row.disp;
  std::uint8_t* pending = row.pending;
  if (static_cast<int>(pos_.size()) < width) {
    pos_.resize(static_cast<std::size_t>(width));
    cover_.resize(pos_.size() * kBinsPerPixel);
    owner_.resize(cover_.size());
    runOf_.resize(pos_.size());
    hidden_.resize(pos_.size());
    wrong_.resize(pos_.size());
    claim_.resize(pos_.size());
  }

  right_.build(phR, maskR, width);

  const int half = t.lsPoints > 1 ? (t.lsPoints - 1) / 2 : 0;
  // 1 / n and the spread n (n^2 - 1) / 12 of n consecutive columns, for
  // every window size: one division per fit instead of three.
  const std::size_t sizes = static_cast<std::size_t>(2 * half + 3);
  if (invN_.size() != sizes) {
    invN_.assign(sizes, 0.0);
    spread_.assign(sizes, 0.0);
    for (std::size_t n = 1; n < sizes; ++n) {
      invN_[n] = 1.0 / static_cast<double>(n);
      spread_[n] = static_cast<double>(n) * (static_cast<double>(n) * static_cast<double>(n) - 1) / 12.0;
    }
  }
  bool prevChosen = false;
  double prevD = 0.0;
  for (int x = kBorderColumns; x <= width - kBorderColumns - 1; ++x) {
    if (maskL[x] != 0) {
      prevChosen = false;
      continue;
    }
    const double pL = phL[x];
    const double wl = whiteL[x];
    std::uint8_t failure = kMaskNoMatch;
    bool chosen = false;
    double bestScore = 0.0, bestD = 0.0, bestPos = 0.0;
    int bestRun = 0;
    right_.forEachBracket(pL, [&](const PhaseRuns::Run& run, int r) {
      // Line through the run's pixels around the bracket.
      const int ws = std::max(run.first, r - half);
      const int we = std::min(run.last, r + 1 + half);
      // Columns are consecutive: their mean is the window's middle and
      // their spread n (n^2 - 1) / 12.
      const int n = we - ws + 1;
      const double kBar = 0.5 * (ws + we);
      double sp = 0, sxy = 0;
      for (int c = ws; c <= we; ++c) {
        sp += phR[c];
        sxy += (c - kBar) * phR[c];
      }
      // Slope sxy / spread, position kBar + (pL - mean) / slope.
      const double pBar = sp * invN_[static_cast<std::size_t>(n)];
      double pos = kBar + (pL - pBar) * spread_[static_cast<std::size_t>(n)] / sxy;
      // Beyond the run's ends the bracket is its end pair, and the position
      // lies up to one pixel outside it.
      const double reach = pL < phR[r] || pL > phR[r + 1] ? 1.0 + kEndReach : 0.5;
      if (!(sxy > 0) || !(pos >= r - reach && pos <= r + 1 + reach)) {
        pos = r + (pL - phR[r]) / (phR[r + 1] - phR[r]);  // the bracket alone
      }
      const double d = x - pos;
      if (!std::isfinite(d)) {
        failure = kMaskDisparityNotFinite;
        return;
      }
      if (d < t.minParallax || d > t.maxParallax) {
        failure = kMaskParallax;
        return;
      }
      const int near = pos - r < 0.5 ? r : r + 1;
      if (std::abs(codeL[x] - codeR[near]) > 1) {
        failure = kMaskCode;
        return;
      }
      const double texDiff = std::fabs(wl - static_cast<double>(whiteR[near]));
      if (texDiff > wl * t.maxTexDiff) {
        failure = kMaskTexture;
        return;
      }
      const double score = prevChosen ? std::fabs(d - prevD) : texDiff;
      if (!chosen || score < bestScore) {
        chosen = true;
        bestScore = score;
        bestD = d;
        bestPos = pos;
        bestRun = static_cast<int>(&run - right_.runs().data());
      }
    });
    if (!chosen) {
      maskL[x] = failure;
      prevChosen = false;
      continue;
    }
    disp[x] = bestD;
    pos_[static_cast<std::size_t>(x)] = bestPos;
    runOf_[static_cast<std::size_t>(x)] = bestRun;
    pending[x] = 1;
    prevChosen = true;
    prevD = bestD;
  }

  // Occlusion. Two neighbouring left pixels of one surface (disparities
  // within "max_step") cover the stretch of the right row between their right
  // positions. A pixel whose right position lies inside a stretch covered by
  // a surface nearer by more than "max_step" is hidden from the right camera
  // there: that surface keeps the position. (Right positions need not keep
  // the left order: beside a thin post the backdrop is seen on both sides.)
  // Each right column remembers the nearest stretch that overlaps it.
  //
  // A run whose last rises are like those before them shows one surface up
  // to its end. Short runs, and runs whose rises grow toward the end, may be
  // the grazing rim of a nearer surface (its phase rises fast where the
  // right camera sees it edge-on) rather than the farther surface.
  auto seenToEnd = [&](const PhaseRuns::Run& run) {
    const int e = run.last;
    if (e - run.first < kMinSeen + 3) return false;
    const double a = phR[e - 3] - phR[e - 4], b = phR[e - 4] - phR[e - 5], c = phR[e - 5] - phR[e - 6];
    const double ref = std::max(std::min(a, b), std::min(std::max(a, b), c));  // median
    for (int i = e - 3; i < e; ++i) {
      const double r = phR[i + 1] - phR[i];
      if (r > kSeenRatio * ref || r * kSeenRatio < ref) return false;
    }
    return true;
  };
  const int bins = width * kBinsPerPixel;
  std::fill(cover_.begin(), cover_.end(), -INFINITY);
  for (int x = kBorderColumns; x + 1 <= width - kBorderColumns - 1; ++x) {
    if (!pending[x] || !pending[x + 1] || std::fabs(disp[x] - disp[x + 1]) > kJoinStep) continue;
    const double a = pos_[static_cast<std::size_t>(x)], b = pos_[static_cast<std::size_t>(x + 1)];
    const double d = std::min(disp[x], disp[x + 1]);
    // The first stretch of a surface in the left image lies at its left
    // silhouette; the right camera sees that surface a little further (its
    // grazing rim, whose own left pixels are rejected), so the stretch
    // reaches up to kRimReach pixels further left. It stops where a run of
    // the right row seen to its end (and its end reach) lies: that is the
    // farther surface, visible there. Reaching over it anyway hid the
    // backdrop beside a thin post and, as the hidden backdrop's surface
    // shows uncovered between it and the post, threw out the post's first
    // two pixels as a wrong match (213) on every row.
    const bool first = !(pending[x - 1] && std::fabs(disp[x - 1] - disp[x]) <= kJoinStep);
    double lo = std::min(a, b);
    if (first) {
      const double rim = lo - kRimReach;
      const std::vector<PhaseRuns::Run>& runs = right_.runs();
      int k = std::min(runOf_[static_cast<std::size_t>(x)], runOf_[static_cast<std::size_t>(x + 1)]) - 1;
      // Runs are in column order: one ending before the rim no longer matters.
      while (k >= 0 && runs[static_cast<std::size_t>(k)].last + kEndReach > rim &&
             !seenToEnd(runs[static_cast<std::size_t>(k)])) {
        --k;
      }
      const double seen = k >= 0 ? runs[static_cast<std::size_t>(k)].last + kEndReach : -INFINITY;
      lo = std::max(rim, std::min(lo, seen));
    }
    const int c0 = std::max(0, static_cast<int>(std::floor(lo * kBinsPerPixel)));
    const int c1 = std::min(bins - 1, static_cast<int>(std::floor(std::max(a, b) * kBinsPerPixel)));
    double* cover = cover_.data();
    int* owner = owner_.data();
    for (int c = c0; c <= c1; ++c) {
      // Branch-free: stretches overlap at their ends, where the comparison
      // goes either way.
      const bool nearer = d > cover[c];
      cover[c] = nearer ? d : cover[c];
      owner[c] = nearer ? x : owner[c];
    }
  }
  // claim_[x]: the left column of the nearer stretch over x's right position, or -1.
  for (int x = 0; x < width; ++x) {
    int& claim = claim_[static_cast<std::size_t>(x)];
    claim = -1;
    if (!pending[x]) continue;
    const int c = static_cast<int>(std::floor(pos_[static_cast<std::size_t>(x)] * kBinsPerPixel));
    if (c >= 0 && c < bins && cover_[static_cast<std::size_t>(c)] > disp[x] + t.maxStep) {
      claim = owner_[static_cast<std::size_t>(c)];
    }
  }
  // A hidden pixel lies in the band that the nearer surface hides, which
  // reaches from it to that surface in the left image. If the pixel's own
  // surface shows, uncovered, between the two (the next uncovered pixel to its
  // right has its disparity), the right camera sees it and the nearer claim
  // is a wrong match (a phase met again on another surface): that claim is
  // rejected (213), not the pixel.
  std::fill(wrong_.begin(), wrong_.end(), 0);
  int next = width;
  for (int x = width - 1; x >= 0; --x) {
    const int claim = claim_[static_cast<std::size_t>(x)];
    hidden_[static_cast<std::size_t>(x)] = 0;
    if (claim >= 0) {
      if (next < claim && std::fabs(disp[next] - disp[x]) <= t.maxStep) {
        wrong_[static_cast<std::size_t>(claim)] = 1;
        wrong_[static_cast<std::size_t>(claim + 1)] = 1;
      } else {
        hidden_[static_cast<std::size_t>(x)] = 1;
      }
    } else if (pending[x]) {
      next = x;
    }
  }
  for (int x = kBorderColumns; x <= width - kBorderColumns - 1; ++x) {
    if (!pending[x]) continue;
    if (wrong_[static_cast<std::size_t>(x)] || hidden_[static_cast<std::size_t>(x)]) {
      pending[x] = 0;
      disp[x] = 0.0;
      maskL[x] = wrong_[static_cast<std::size_t>(x)] ? kMaskFarSideSeen : kMaskOccluded;
    }
  }
}

void applyNeighbourSupport(MatchGrid& buf, int y, const Thresholds& t) {
  const int width = buf.width;
  const std::size_t off = static_cast<std::size_t>(y) * width;
  const double* disp = buf.disparity.data() + off;
  const std::uint8_t* pending = buf.upperTestPending.data() + off;
  std::uint8_t* mask = buf.mask.data() + off;
  const bool hasAbove = y > 0;
  const bool hasBelow = y + 1 < buf.height;
  const double step = t.maxStep;
  // Unsupported in one direction: some accepted neighbour there, none within step.
  auto unsupported = [step](double d, bool has1, double d1, bool has2, double d2) {
    if (!has1 && !has2) return false;
    const bool near1 = has1 && std::fabs(d1 - d) <= step;
    const bool near2 = has2 && std::fabs(d2 - d) <= step;
    return !near1 && !near2;
  };
  auto joined = [&](int a, int b) { return pending[a] && pending[b] && std::fabs(disp[a] - disp[b]) <= step; };
  for (int x = 2; x + 2 < width; ++x) {
    if (!pending[x]) continue;
    const double d = disp[x];
    const bool left = pending[x - 1] != 0, right = pending[x + 1] != 0;
    // Along the row a pixel belongs to a run of at least three joined
    // pixels: strips one or two pixels wide are the remains of wrong
    // matches at occlusions, not surfaces.
    const bool l1 = joined(x - 1, x), r1 = joined(x, x + 1);
    if (!((l1 && joined(x - 2, x - 1)) || (l1 && r1) || (r1 && joined(x + 1, x + 2)))) {
      mask[x] = kMaskStep;
      continue;
    }
    const bool up = hasAbove && pending[x - width];
    const bool down = hasBelow && pending[x + width];
    // A pixel without any accepted neighbour stands alone: nothing vouches for it.
    bool reject = !left && !right && !up && !down;
    // Beside a depth edge the pixel on the far side is the one that mixes
    // in the near surface: drop it.
    const double edge = d + kEdgeJump;
    if ((left && disp[x - 1] > edge) || (right && disp[x + 1] > edge) || (up && disp[x - width] > edge) ||
        (down && disp[x + width] > edge)) {
      reject = true;
    }
    if (!reject) reject = unsupported(d, left, disp[x - 1], right, disp[x + 1]);
    if (!reject) reject = unsupported(d, up, up ? disp[x - width] : 0.0, down, down ? disp[x + width] : 0.0);
    if (reject) mask[x] = kMaskStep;
  }
}

namespace {

int findRoot(std::vector<int>& parent, int k) {
  while (parent[static_cast<std::size_t>(k)] != k) {
    int& p = parent[static_cast<std::size_t>(k)];
    p = parent[static_cast<std::size_t>(p)];  // path halving
    k = p;
  }
  return k;
}

void unite(std::vector<int>& parent, int a, int b) {
  a = findRoot(parent, a);
  b = findRoot(parent, b);
  if (a != b) parent[static_cast<std::size_t>(std::max(a, b))] = std::min(a, b);
}

// Cuts rows [rowBegin, rowEnd) into runs (accepted pixels of a row, each
// joined to the one before) and unites the runs joined along the columns.
// Leaves the run index of every pixel of the first and the last row in
// firstLabels and lastLabels (-1: none).
void labelRuns(const MatchGrid& g, double step, int rowBegin, int rowEnd, RegionScratch& s) {
  const int width = g.width;
  const double* disp = g.disparity.data();
  const std::uint8_t* mask = g.mask.data();
  s.runs.clear();
  s.parent.clear();
  s.above.assign(static_cast<std::size_t>(width), -1);
  s.current.assign(static_cast<std::size_t>(width), -1);
  for (int y = rowBegin; y < rowEnd; ++y) {
    const std::size_t off = static_cast<std::size_t>(y) * width;
    const double* d = disp + off;
    const std::uint8_t* m = mask + off;
    int* cur = s.current.data();
    const int* up = s.above.data();
    int lastCur = -1, lastUp = -1;  // the last pair united: the next pixel usually repeats it
    for (int x = 0; x < width; ++x) {
      if (m[x] != 0) {
        cur[x] = -1;
        continue;
      }
      int k;
      if (x > 0 && cur[x - 1] >= 0 && std::fabs(d[x] - d[x - 1]) <= step) {
        k = cur[x - 1];
        ++s.runs.back().last;
      } else {
        k = static_cast<int>(s.runs.size());
        s.runs.push_back({y, x, x});
        s.parent.push_back(k);
      }
      cur[x] = k;
      const int u = y > rowBegin ? up[x] : -1;
      if (u >= 0 && (k != lastCur || u != lastUp) && std::fabs(d[x] - d[x - width]) <= step) {
        unite(s.parent, k, u);
        lastCur = k;
        lastUp = u;
      }
    }
    if (y == rowBegin) s.firstLabels.assign(cur, cur + width);
    std::swap(s.current, s.above);
  }
  s.lastLabels = s.above;
  if (rowBegin == rowEnd) s.firstLabels.assign(static_cast<std::size_t>(width), -1);
}

}  // namespace

void removeSmallRegions(MatchGrid& g, const Thresholds& t, RegionScratch (&scratch)[2]) {
  // Connected regions by union-find over row runs: each half of the image on
  // its own thread, then the runs joined across the rows where the halves
  // meet. The joins are those of a flood fill (4-neighbours, both accepted,
  // disparities within "max_step"), so the regions are the same.
  const int width = g.width;
  const int mid = g.height / 2;
#pragma omp parallel for schedule(static) num_threads(2)
  for (int half = 0; half < 2; ++half) {
    labelRuns(g, t.maxStep, half == 0 ? 0 : mid, half == 0 ? mid : g.height, scratch[half]);
  }
  // One forest over both halves: the second half's runs follow the first's.
  RegionScratch& a = scratch[0];
  const RegionScratch& b = scratch[1];
  const int offset = static_cast<int>(a.runs.size());
  a.runs.insert(a.runs.end(), b.runs.begin(), b.runs.end());
  for (int p : b.parent) a.parent.push_back(p + offset);
  if (mid > 0 && mid < g.height) {
    const double* below = g.disparity.data() + static_cast<std::size_t>(mid) * width;
    const double* above = below - width;
    for (int x = 0; x < width; ++x) {
      const int u = a.lastLabels[static_cast<std::size_t>(x)], v = b.firstLabels[static_cast<std::size_t>(x)];
      if (u >= 0 && v >= 0 && std::fabs(below[x] - above[x]) <= t.maxStep) unite(a.parent, u, v + offset);
    }
  }
  // Sizes at the roots, then the runs of small regions rejected.
  std::vector<int>& size = a.size;
  size.assign(a.runs.size(), 0);
  for (std::size_t k = 0; k < a.runs.size(); ++k) {
    const RegionScratch::Run& r = a.runs[k];
    size[static_cast<std::size_t>(findRoot(a.parent, static_cast<int>(k)))] += r.last - r.first + 1;
  }
  for (std::size_t k = 0; k < a.runs.size(); ++k) {
    if (size[static_cast<std::size_t>(findRoot(a.parent, static_cast<int>(k)))] >= kMinRegion) continue;
    const RegionScratch::Run& r = a.runs[k];
    std::uint8_t* m = g.mask.data() + static_cast<std::size_t>(r.y) * width;
    std::fill(m + r.first, m + r.last + 1, kMaskSmallRegion);
  }
}

}  // namespace zel
