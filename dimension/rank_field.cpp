#include "dimension/rank_field.hpp"

#include <algorithm>
#include <cmath>
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
      for (int j = 0; j < extent; ++j) m[j] = std::max(m[j], row[j]);
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
  long long marked = 0;
  for (size_t i = 0; i < n; ++i) {
    const bool reached = ranks[i] > index;
    marked += reached;
    ranks[i] = reached ? 0 : 255;
  }
  counts.marked = marked;
}

}  // namespace contours
