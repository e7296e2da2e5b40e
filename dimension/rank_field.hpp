// The pixel field held as one byte a pixel: the rank of each measure among the
// quantile-table entries, kept in the result buffer until the threshold is
// known. Private to the library.
#pragma once

#include <cstddef>

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
