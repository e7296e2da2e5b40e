// The pixel field held as one byte a pixel: the rank of each measure among the
// quantile-table entries, kept in the result buffer until the threshold is
// known. Private to the library.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "dimension/computed_blocks.hpp"
#include "dimension/quarter_maxima.hpp"

namespace contours {

// Whether ranks among table (bins entries) decide every comparison a search
// starting at bins * startFraction and its marking make: 256 entries, none
// NaN, sorted in non-decreasing order, the first above 0 (so that an
// uncomputed +0 cell reaches none), and a start below the last entry, which a
// search then never reaches (a rank saturates at 255).
bool ranksServe(const float* table, int bins, double startFraction);

// The number of entries among table[0 .. 254] that are <= v (0 for NaN): for
// a table ranksServe accepts, v >= table[k] exactly when rankOf(v) > k, for
// every k < 255.
inline unsigned char rankOf(const float* table, float v) {
  unsigned r = 0;
  for (unsigned step = 128; step != 0; step >>= 1)
    r += table[r + step - 1] <= v ? step : 0;
  return static_cast<unsigned char>(r);
}

// rankOf for one table, by a lookup and a step or two along the table.
// Cells from table[0] on are looked up by their bits above shift_, counted
// from those of table[0]: lower_[k] is the number of entries below every
// such cell of key k. scan_[] is the table with scan_[255] NaN,
// which no cell reaches.
class RankLookup {
 public:
  explicit RankLookup(const float* table);
  unsigned char operator()(float v) const {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    // Below table[0] (NaN too) key 0, whose count is 0; from table[254] on
    // the last key, whose count the steps below carry to 255.
    const std::uint32_t key = std::min((bits - base_) >> shift_, lastKey_);
    unsigned r = lower_[v >= scan_[0] ? key : 0];
    r += scan_[r] <= v;
    r += scan_[r] <= v;
    while (scan_[r] <= v) ++r;
    return static_cast<unsigned char>(r);
  }

 private:
  std::uint32_t base_ = 0;
  unsigned shift_ = 0;
  std::uint32_t lastKey_ = 0;
  std::vector<unsigned char> lower_;
  float scan_[256];
};

// The maximum rank of every box/2 x box/2 quarter, as QuarterMaxima holds
// the maxima of a field: each evaluation of a threshold table[k] counts
// against k + 1 (see findThresholdByRank). Has no field: no threshold may be
// -infinity.
QuarterMaxima summariseRankQuarters(const unsigned char* ranks, int rows, int cols,
                                    int boxSize);

// Turns ranks (n of them) into the result in place: 0 where rank > index (the
// field reached table[index]), 255 elsewhere; counts the cells set to 0 into
// counts.marked.
void markRanks(unsigned char* ranks, size_t n, int index, MarkCounts& counts);

}  // namespace contours
