// The pixel field held as floats where the fine stage has computed only some
// 3x3 blocks: which blocks those are, and the summary for the search and the
// marking of the result that visit only them. Private to the library.
#pragma once

#include <cstddef>
#include <vector>

#include "dimension/box_counting.hpp"
#include "field/field_rows.hpp"
#include "field/marking.hpp"
#include "support/bands.hpp"

namespace contours {

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

// summariseQuarterRows for a field whose cells outside the computed blocks
// are +0: reads only the quarters that overlap a computed block, and gives
// every other quarter the +0 that summariseQuarterRows would find there.
void summariseComputedQuarterRows(QuarterMaxima& quarters, int finalRows,
                                  const ComputedBlocks& blocks);
// The same for every row of quarters not summarised yet, once the whole field
// is final: in bands of rows of quarters side by side (see forEachBand).
void summariseComputedQuarters(QuarterMaxima& quarters, const ComputedBlocks& blocks,
                               const Split& split);

// markCells over a rows x cols field, reading only the computed blocks'
// cells and giving the others what a +0 cell gets; in bands of block rows
// side by side (see forEachBand).
MarkCounts markComputedField(const float* field, unsigned char* mask, int rows, int cols,
                             float threshold, const ComputedBlocks& blocks,
                             const Split& split = {});

}  // namespace contours
