#pragma once
// Measurement matching ("match_mode" 1): every left pixel whose surface the
// right camera sees gets its partner, and no pixel yields a point that lies
// off a surface. Shares the phase stage and the point methods with the
// default rules; only the matching differs.
//
// - Partner: the position on the continuous right phase of the same row.
//   The right row is cut into runs of usable pixels (mask 0 or border 202)
//   whose phase rises by more than 0 and at most pi per column, no rise more
//   than twice a neighbouring one (a larger or falling step is a depth edge);
//   up to two end pixels whose rise is unlike the run's (partly the other
//   surface) are left out; a small rise at a run's very end is such a pixel
//   and does not cut the run. The left phase is located between the two
//   right pixels that bracket it and refined by a line fitted to
//   "ls_points" + 1 right pixels of the run around them. A run also answers
//   for phases up to one end rise beyond an end whose pixels were left out
//   (0.15 of one beyond a clean end), placed on the extended line. No right pixel is used up, so a
//   pixel never loses its partner to a neighbour.
// - Several runs may hold the phase (occluders, projector columns met again
//   on the epipolar line): the candidates must pass the parallax, Gray-code
//   and texture tests; among the rest the one nearest to the disparity of the
//   pixel to the left wins, else the one of the most similar texture.
// - Occlusion: two neighbouring left pixels of one surface cover the stretch
//   of the right row between their right positions (the first stretch of a
//   surface up to 3 pixels further, for its grazing rim, but not over a run
//   of the right row that shows another surface cleanly up to its end: there
//   the right camera sees that surface). A pixel whose right
//   position lies in a stretch of a surface nearer by more than "max_step"
//   is hidden by it: the nearer surface keeps the position and the pixel
//   gets mask 211. The left order is not required (beside a thin post the
//   backdrop shows on both sides of it). But if the hidden pixel's own
//   surface shows, uncovered, between it and the nearer claim, the claim is
//   a wrong match and is rejected instead (213).
// - Mixed pixels (depth edges, shadow borders) average two surfaces. A pixel
//   is rejected (209) when, along the row or along the column, it has
//   accepted neighbours and differs from all of them by more than
//   "max_step"; when it lies on the far side of a depth edge (a neighbour
//   nearer by more than 3 pixels of disparity); when it is not part of three
//   joined pixels along the row; or when no neighbour is accepted at all.
//   Neighbours that are not accepted are not compared, so a gap never
//   rejects the pixel next to it.
// - Small regions: regions under 50 pixels (joined through neighbours within
//   "max_step") are rejected with mask 212; wrong matches of pixels hidden
//   from the right camera form such islands.
//
// Rows are matched independently (matchRow, any order, any thread); the
// neighbour test (applyNeighbourSupport, rows in any order) and the region
// filter run after all rows.
#include "decoder/phsft/decode_buffers.h"

#include <vector>

namespace zel {

// The runs of one row along which the phase rises smoothly (valid pixels,
// each step above 0 and at most pi, no step far above its neighbours),
// indexed by the fringe periods they cover.
class PhaseRuns {
 public:
  struct Run {
    int first, last;  // columns; the phase rises from first to last
    double lo, hi;    // phases the run answers for: its own, extended by one end rise
  };
  void build(const double* phase, const std::uint8_t* mask, int width);
  // The runs in column order; a run passed to forEachBracket's f is one of them.
  const std::vector<Run>& runs() const { return runs_; }
  // Calls f(run, c) for every run holding p, with c the last column of the
  // run whose phase is not above p (so p lies between columns c and c + 1).
  // A phase up to one end rise beyond the run's ends is held too (c is then
  // the first column, or the last but one): the end pixels of a surface mix
  // in its neighbour and are left out of the run, but the left pixels seeing
  // that stretch are placed by extending the run's line.
  template <class F>
  void forEachBracket(double p, F&& f) {
    const int k = bucketOf(p);
    for (int e = bucketStart_[k]; e < bucketStart_[k + 1]; ++e) {
      const int index = bucketRuns_[e];
      const Run& run = runs_[static_cast<std::size_t>(index)];
      if (!(run.lo <= p && p <= run.hi)) continue;
      // Left phases mostly rise along a row: walk a few columns from the
      // run's last bracket, else search.
      int& hint = hint_[static_cast<std::size_t>(index)];
      int c = hint;
      int steps = 0;
      while (steps < 8 && c + 1 < run.last && ph_[c + 1] <= p) ++c, ++steps;
      while (steps < 8 && c > run.first && ph_[c] > p) --c, ++steps;
      if (!(ph_[c] <= p && (c + 1 == run.last || ph_[c + 1] > p))) {
        int lo = run.first, hi = run.last - 1;
        while (lo < hi) {
          const int mid = (lo + hi + 1) / 2;
          if (ph_[mid] <= p) {
            lo = mid;
          } else {
            hi = mid - 1;
          }
        }
        c = lo;
      }
      hint = c;
      f(run, c);
    }
  }

 private:
  // Absolute phases run from -pi (code 0) to 127 * 2 pi + pi: one bucket per
  // period, shifted by half a period: bucket k holds [(2k - 1) pi, (2k + 1) pi).
  static constexpr int kBuckets = 130;
  static int bucketOf(double phase);

  const double* ph_ = nullptr;
  std::vector<Run> runs_;
  std::vector<int> bucketStart_ = std::vector<int>(kBuckets + 1, 0);
  std::vector<int> bucketRuns_;
  std::vector<int> fill_;
  std::vector<int> hint_;  // per run: column of the last bracket found
};

class MeasureMatcher {
 public:
  explicit MeasureMatcher(int width = 0);

  void matchRow(const MatchRowView& row, const Thresholds& t);

 private:
  PhaseRuns right_;
  std::vector<double> pos_;    // right position claimed by each left column
  std::vector<int> runOf_;     // index of the right run that position lies on
  std::vector<double> cover_;  // per quarter right pixel: largest disparity of a stretch over it
  std::vector<int> owner_;     // per quarter right pixel: left column of that stretch
  std::vector<int> claim_;     // per left column: left column of a nearer stretch over its position, or -1
  std::vector<std::uint8_t> hidden_, wrong_;
  std::vector<double> invN_, spread_;  // per line-fit window size
};

// Rejects (209) the pending pixels of row y that differ by more than
// "max_step" from every accepted neighbour along the row or the column.
// Writes row y's mask only.
void applyNeighbourSupport(MatchGrid& grid, int y, const Thresholds& t);

// Scratch of removeSmallRegions, one per half of the image.
struct RegionScratch {
  struct Run {
    int y, first, last;  // row and columns of accepted pixels joined along the row
  };
  std::vector<Run> runs;
  std::vector<int> parent, size;                             // union-find over the runs; region sizes at the roots
  std::vector<int> above, current, firstLabels, lastLabels;  // run index of each pixel of a row
};

// Rejects (212) the accepted pixels of regions under 50 pixels, a region
// being the pixels joined through neighbours (along rows and columns) whose
// disparities differ by at most "max_step". Whole image, two threads.
void removeSmallRegions(MatchGrid& grid, const Thresholds& t, RegionScratch (&scratch)[2]);

}  // namespace zel
