#pragma once
// How the fine stage hands a pixel field what it computes: a block row at a
// time, into rows the field lends it. Private to the library.

#include <vector>

#include "support/bands.hpp"

namespace contours {

// Blocks first .. end-1 of a row of blocks.
struct BlockSpan {
  int first, end;
};

// What the fine stage computes in one block row (block bi covers pixel rows
// 3bi .. 3bi+2; block bj, columns 3bj .. 3bj+2).
struct BlockRowRuns {
  // The blocks computed, in disjoint runs from left to right, never adjacent.
  std::vector<BlockSpan> computed;
  // The stretches measured: the computed runs, some joined across the gaps
  // between them, whose cells are set back to +0 once measured.
  std::vector<BlockSpan> measured;
  std::vector<BlockSpan> gaps;  // the gaps so joined

  void clear() {
    computed.clear();
    measured.clear();
    gaps.clear();
  }
};

// A pixel field as the fine stage writes it.
class FieldRows {
 public:
  virtual ~FieldRows() = default;

  // Whether every cell of a block row is +0 until the stage writes it, so
  // that no block is computed before the stage computes it. Otherwise a
  // block whose first cell is not 0 counts as computed already and is kept.
  virtual bool startsEmpty() const = 0;

  // The cells of pixel row y (one per column), for the rows of the block row
  // being computed.
  virtual float* row(int y) = 0;

  // Block row bi is computed: pixel rows 0 .. 3bi+2 hold their final values.
  // Called in order for every block row from 1 to blockRows - 2 (on fields of
  // five block rows and columns or more), also for those with nothing
  // computed.
  virtual void blockRowDone(int bi, const BlockRowRuns& runs) = 0;

  // The stage is over: every row holds its final value.
  virtual void finish() = 0;
};

// A pixel field the fine stage may write in bands side by side. After
// openBands(split), band k takes block rows bandSpan(rows / 3, split.bands, k)
// of the fine stage (the first band also the pixel rows above its first block
// row, the last those below the whole blocks): band(k) is the field that
// band writes, from one thread of its own, finish()ed at the band's end.
// closeBands() then makes of them the field one band would have made. With
// one band, band(0) may be the field itself.
class BandedFieldRows {
 public:
  virtual ~BandedFieldRows() = default;
  virtual void openBands(const Split& split) = 0;
  virtual FieldRows& band(int k) = 0;
  virtual void closeBands() = 0;
};

}  // namespace contours
