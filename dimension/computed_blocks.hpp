// The pixel field where the fine stage has computed only some 3x3 blocks:
// summarising it for the search and marking the result, visiting only the
// computed blocks. Private to the library.
#pragma once

#include <cstddef>
#include <vector>

#include "dimension/quarter_maxima.hpp"

namespace contours {

// Blocks first .. end-1 of a row of blocks.
struct BlockSpan {
  int first, end;
};

// Which 3x3 pixel blocks of a field of rows x cols cells were computed, as
// runs of adjacent blocks, row of blocks by row of blocks: block (bi, bj) has
// the cells of rows 3bi .. 3bi+2, columns 3bj .. 3bj+2; blockRows = rows / 3,
// blockCols = cols / 3. Every cell outside the computed blocks holds +0.
class ComputedBlocks {
 public:
  ComputedBlocks(int blockRows, int blockCols);
  int blockRows() const { return blockRows_; }
  int blockCols() const { return blockCols_; }
  // Adds blocks first .. end-1 of block row bi: rows in non-decreasing
  // order, the runs of a row left to right, disjoint.
  void add(int bi, int first, int end);
  // The runs of block row bi, left to right; a row no run is added to any
  // more once a later row has one, or once the caller says so.
  const BlockSpan* begin(int bi) const;
  const BlockSpan* end(int bi) const;

 private:
  int blockRows_, blockCols_;
  std::vector<BlockSpan> runs_;
  std::vector<size_t> rowStart_;  // first run of each row begun so far
};

// The runs of the non-zero bytes of map (blockRows x blockCols, row-major).
ComputedBlocks computedBlocksOf(const unsigned char* map, int blockRows, int blockCols);

// m[j] = the larger of m[j] and row[j] for j < n, keeping m[j] when row[j] is
// NaN: the column maxima of the quarter summary.
void raiseColumnMaxima(const float* row, float* m, int n);

// summariseQuarterRows for a field whose cells outside the computed blocks
// are +0: reads only the quarters that overlap a computed block, and gives
// every other quarter the +0 that summariseQuarterRows would find there.
void summariseComputedQuarterRows(QuarterMaxima& quarters, int finalRows,
                                  const ComputedBlocks& blocks);

struct MarkCounts {
  long long marked = 0;   // cells set to 0
  long long nonZero = 0;  // field cells that are not 0
};

// A fresh rows x cols mask (every byte is written) marked as fixLastSegment
// marks an all-255 mask: 0 where field >= threshold, 255 elsewhere; with the
// counts the report needs. Reads only the computed blocks' cells, giving the
// others what a +0 cell gets.
MarkCounts markComputedField(const float* field, unsigned char* mask, int rows, int cols,
                             float threshold, const ComputedBlocks& blocks);

// The same over every cell, n of them, reading each.
MarkCounts markFreshMask(const float* field, unsigned char* mask, size_t n,
                         float threshold);

// The same mask written over the field itself: on return the first n bytes
// of the field's buffer are the mask, and the field is gone.
MarkCounts markMaskInPlace(float* field, size_t n, float threshold);

}  // namespace contours
