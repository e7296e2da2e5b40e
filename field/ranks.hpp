// The pixel field held as a byte a pixel, the rank of each measure among the
// quantile-table entries: whether a table allows it, the ranks, their summary
// for the search, and the marking. Private to the library.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "dimension/box_counting.hpp"

namespace contours {

// Whether ranks among table (bins entries) decide every comparison a search
// starting at bins * startFraction and its marking make: 256 entries, none
// NaN, sorted in non-decreasing order, the first above 0 (so that an
// uncomputed +0 cell reaches none), and a start below the last entry, which a
// search then never reaches (a rank saturates at 255).
bool ranksServe(const float* table, int bins, double startFraction);

// The rank of a value among the entries of one table, which ranksServe
// accepts: the number of entries among table[0 .. 254] that are <= v (0 for
// NaN), so that v >= table[k] exactly when the rank is above k, for every
// k < 255. By one lookup and a comparison: cells from table[0] on are keyed
// by their bits above those of table[0] (positive floats are ordered as
// their bits), d, shifted right by shift_: keys fine enough that a key
// mostly holds at most one distinct entry value. A cell then ranks at the
// key's lower count, or at that count plus the entries of that value from
// the entry on. Where entries lie too close for the key width (or more than
// 127 are equal), the key is inexact and its cells step along scan_[] (the
// table, with scan_[255] NaN, which no cell reaches) from the lower count.
class RankLookup {
 public:
  explicit RankLookup(const float* table);
  unsigned char operator()(float v) const { return rank(v); }

  // Writes the ranks of cells[0 .. n) to out and sets the cells to +0;
  // returns how many of them were not 0. Eight cells at a time in the vector
  // builds, the same ranks as operator().
  long long takeRanks(float* cells, unsigned char* out, int n) const;

 private:
  // A key: lower | (upper - lower) << 8 | kInexact where inexact | the d of
  // its one entry value less the key's first d << 16.
  static constexpr std::uint32_t kInexact = 1u << 15;

  unsigned char rank(float v) const {
    // Below table[0], and NaN: no entry is <= v.
    if (!(v >= scan_[0])) return 0;
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const std::uint32_t d = bits - base_;
    // Past table[254], the last key, which ranks at 255.
    const std::uint32_t key = keys_[std::min(d >> shift_, lastKey_)];
    unsigned r = key & 0xffu;
    if (key & kInexact) {
      while (scan_[r] <= v) ++r;
      return static_cast<unsigned char>(r);
    }
    // Without a branch: whether a cell reaches the entry is data, and
    // mispredicted half the time.
    const unsigned reached = (d & ((1u << shift_) - 1)) >= key >> 16;
    return static_cast<unsigned char>(r + (-reached & ((key >> 8) & 0x7fu)));
  }

  long long takeRanksFrom(int i, float* cells, unsigned char* out, int n) const;
  // The vector builds' steps (AVX2 instructions): returns the first cell not
  // done.
  int takeRanksInLanes(float* cells, unsigned char* out, int n, long long& nonZero) const;

  std::uint32_t base_ = 0;
  unsigned shift_ = 0;
  std::uint32_t lastKey_ = 0;
  std::vector<std::uint32_t> keys_;
  float scan_[256];
};

// The RankQuarters of a rank field, made while the field is written, from the
// cells that may be above rank 0 alone: rows are given in increasing order,
// each with the stretches of it that may hold ranks above 0 (every other cell
// must be 0), once those cells are final. finish() gives the summary of the
// field. A builder may take only field rows firstRow .. endRow-1 (a band of
// the field written on its own): it holds the rows of quarters those rows
// touch, and mergeInto adds them to the summary of the whole field (a
// quarter's maximum is the largest of its bands' maxima).
class RankQuarterBuilder {
 public:
  // Throws std::invalid_argument as BowCountingDimension does.
  RankQuarterBuilder(int rows, int cols, int boxSize);
  RankQuarterBuilder(int rows, int cols, int boxSize, int firstRow, int endRow);
  // Cells x0 .. x1-1 of field row y, at row.
  void add(int y, const unsigned char* row, int x0, int x1);
  RankQuarters finish();
  // Instead of finish, for a band: raises whole's maxima to this band's.
  void mergeInto(RankQuarters& whole);

 private:
  void closeQuarterRow();

  RankQuarters quarters_;
  int firstQuarterRow_ = 0;  // the first row of quarters held
  int half_ = 0;    // a quarter's side
  int extent_ = 0;  // counted columns
  std::vector<unsigned char> columnMax_;  // of the open row of quarters
  int open_ = -1;                         // that row of quarters, or none
  int touchedFrom_ = 0, touchedTo_ = 0;   // its columns that may be above 0
};

// Turns ranks (n of them) into the result: 0 where rank > index (the field
// reached table[index]), 255 elsewhere, written to out (which may be ranks
// itself); returns the cells set to 0.
long long markRanks(const unsigned char* ranks, unsigned char* out, size_t n, int index);
inline long long markRanks(unsigned char* ranks, size_t n, int index) {
  return markRanks(ranks, ranks, n, index);
}

}  // namespace contours
