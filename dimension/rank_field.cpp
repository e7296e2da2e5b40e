#include "dimension/rank_field.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace contours {

bool ranksServe(const float* table, int bins, double startFraction) {
  if (bins != 256) return false;
  const double start = bins * startFraction;
  if (!(start >= 0.0 && start < bins - 1)) return false;
  if (!(table[0] > 0.0f)) return false;  // also NaN
  for (int k = 1; k < bins; ++k)
    if (!(table[k - 1] <= table[k])) return false;  // out of order or NaN
  return true;
}

RankLookup::RankLookup(const float* table) {
  for (int k = 0; k < 255; ++k) scan_[k] = table[k];
  scan_[255] = std::numeric_limits<float>::quiet_NaN();
  // Positive floats are ordered as their bits; the keys cover table[0] up to
  // below table[254] (or +infinity's bits) in at most 16384 steps.
  std::uint32_t top;
  std::memcpy(&base_, &scan_[0], sizeof base_);
  std::memcpy(&top, &scan_[254], sizeof top);
  while (((top - base_) >> shift_) >= 16384u) ++shift_;
  lastKey_ = (top - base_) >> shift_;
  lower_.assign(lastKey_ + 1, 0);
  unsigned below = 0;
  for (std::uint32_t key = 0; key < lower_.size(); ++key) {
    const std::uint32_t bits = base_ + (key << shift_);
    float start;
    std::memcpy(&start, &bits, sizeof start);
    while (below < 255 && scan_[below] < start) ++below;
    lower_[key] = static_cast<unsigned char>(below);
  }
}

namespace {

// Sixteen bytes at a time; the compiler's vector extension, so every build
// has it. Comparisons give 0xff where true and 0 where false.
typedef unsigned char Bytes16 __attribute__((vector_size(16)));

Bytes16 load16(const unsigned char* p) {
  Bytes16 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void store16(unsigned char* p, Bytes16 v) { std::memcpy(p, &v, sizeof v); }

}  // namespace

QuarterMaxima summariseRankQuarters(const unsigned char* ranks, int rows, int cols,
                                    int boxSize) {
  QuarterMaxima quarters = startQuarters(nullptr, rows, cols, boxSize);
  const int h = boxSize / 2;
  const int extent = quarters.quarterCols * h;
  std::vector<unsigned char> columnMax(static_cast<size_t>(extent));
  for (int qr = 0; qr < quarters.quarterRows; ++qr) {
    unsigned char* m = columnMax.data();
    std::fill(m, m + extent, 0);
    for (int i = qr * h; i < qr * h + h; ++i) {
      const unsigned char* row = ranks + static_cast<size_t>(i) * cols;
      int j = 0;
      for (; j + 16 <= extent; j += 16) {
        const Bytes16 a = load16(m + j), b = load16(row + j);
        store16(m + j, a > b ? a : b);
      }
      for (; j < extent; ++j) m[j] = std::max(m[j], row[j]);
    }
    float* out = quarters.maxima.data() + static_cast<size_t>(qr) * quarters.quarterCols;
    for (int qc = 0; qc < quarters.quarterCols; ++qc) {
      unsigned char q = 0;
      for (int j = qc * h; j < qc * h + h; ++j) q = std::max(q, m[j]);
      out[qc] = static_cast<float>(q);
    }
  }
  quarters.summarisedRows = quarters.quarterRows;
  return quarters;
}

void markRanks(unsigned char* ranks, size_t n, int index, MarkCounts& counts) {
  const unsigned char level = static_cast<unsigned char>(index);
  const Bytes16 levels = level - Bytes16{};
  long long marked = 0;
  size_t i = 0;
  // Counted a block at a time, each lane's count below 256.
  while (i + 16 <= n) {
    Bytes16 count{};
    for (int k = 0; k < 255 && i + 16 <= n; ++k, i += 16) {
      const Bytes16 reached = load16(ranks + i) > levels;  // 0xff where reached
      count -= reached;                                     // adds 1 there
      store16(ranks + i, ~reached);
    }
    for (int lane = 0; lane < 16; ++lane) marked += count[lane];
  }
  for (; i < n; ++i) {
    const bool reached = ranks[i] > level;
    marked += reached;
    ranks[i] = reached ? 0 : 255;
  }
  counts.marked = marked;
}

}  // namespace contours
