#pragma once
// Row matching: for each valid left pixel the right pixel of the same row with
// the nearest absolute phase, refined to a fraction of a pixel and checked
// against the thresholds.
//
// Rows only meet through the upper-neighbour disparity test, so matching runs
// in two passes: matchRow handles everything inside one row (rows in any
// order, on any thread) and marks the pixels that reach the upper-neighbour
// test; applyUpperNeighbourTest then runs that test on final disparities.
// The result equals a single top-to-bottom, left-to-right pass.
#include "decoder/phsft/decode_buffers.h"

#include <vector>

namespace zel {

class RowMatcher {
 public:
  // Scratch for one thread, sized for rows of width pixels.
  explicit RowMatcher(int width = 0, int searchDiv = 1);

  void matchRow(const MatchRowView& row, const Thresholds& t);

 private:
  struct Block {
    double average;
    int index;
  };
  // Index of the block whose average is nearest to phase (lowest block index
  // among equal distances), or -1 when none is below 1000.
  int nearestBlock(double phase);

  std::vector<double> average_;  // per block, 0 when the block has no valid pixel
  std::vector<Block> sorted_;    // non-zero averages, ascending, ties by index
  std::vector<double> sortedValue_;
  std::vector<int> sortedIndex_;
  int hint_ = 0;
};

// The upper-neighbour test of row y: a pending pixel whose disparity differs
// from the one above (in row 0: from itself) by more than maxStep gets 209,
// and so does the pixel above; row y takes both the marks of its own test and
// those of row y + 1's test, so each row writes only its own mask.
void applyUpperNeighbourTest(MatchGrid& grid, int y, const Thresholds& t);

}  // namespace zel
