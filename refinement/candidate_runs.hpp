#pragma once
// Where the fine stage computes: the blocks near a candidate, found a block
// row at a time from the block mask. Private to the library.

#include <cstdint>
#include <vector>

#include "field/field_rows.hpp"

namespace contours {

// The candidates are the marked blocks (not 255) of a blockRows x blockCols
// block mask among block rows 2 .. blockRows-3 and block columns
// 2 .. blockCols-3; a block is near a candidate when the candidate lies in
// its 3x3 neighbourhood. Needs five block rows and columns or more.
class CandidateRuns {
 public:
  CandidateRuns(const unsigned char* blockMask, int blockRows, int blockCols);

  // The runs of blocks of block row bi (1 <= bi <= blockRows-2) near a
  // candidate: left to right, never adjacent, within columns
  // 1 .. blockCols-2. Valid until the next call.
  const std::vector<BlockSpan>& near(int bi);

 private:
  const unsigned char* blockMask_;
  int blockRows_, blockCols_;
  std::vector<unsigned char> noCandidate_;  // per column, 255: none in rows bi-1 .. bi+1
  std::vector<unsigned char> nearBytes_;    // per column, not 0: one in columns j-1 .. j+1
  std::vector<std::uint64_t> nearBits_;     // the same, a bit a column
  std::vector<BlockSpan> runs_;
};

}  // namespace contours
