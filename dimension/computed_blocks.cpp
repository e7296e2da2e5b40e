#include "dimension/computed_blocks.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "surface/vector_build.hpp"

namespace contours {

namespace {

struct MarkCells {
  static CONTOURS_INLINE MarkCounts run(const float* __restrict field,
                                        unsigned char* __restrict mask, size_t cells,
                                        float threshold) {
    MarkCounts counts;
    size_t i = 0;
    for (; i + 32 <= cells; i += 32) {
      int marked = 0, nonZero = 0;
      for (int j = 0; j < 32; ++j) {
        const bool selected = field[i + j] >= threshold;
        mask[i + j] = selected ? 0 : 255;
        marked += selected;
        nonZero += field[i + j] != 0.0f;
      }
      counts.marked += marked;
      counts.nonZero += nonZero;
    }
    for (; i < cells; ++i) {
      const bool selected = field[i] >= threshold;
      mask[i] = selected ? 0 : 255;
      counts.marked += selected;
      counts.nonZero += field[i] != 0.0f;
    }
    return counts;
  }
};

}  // namespace

MarkCounts markFreshMask(const float* field, unsigned char* mask, size_t n,
                         float threshold) {
  return runVectorBuild<MarkCells>(field, mask, n, threshold);
}

MarkCounts markComputedField(const float* field, unsigned char* mask, int rows, int cols,
                             float threshold, const ComputedBlocks& blocks) {
  // A cell never computed holds +0, which is selected exactly when
  // +0 >= threshold.
  const bool zeroSelected = 0.0f >= threshold;
  const unsigned char zeroMark = zeroSelected ? 0 : 255;
  MarkCounts counts;
  auto fill = [&](unsigned char* to, size_t n) {
    std::memset(to, zeroMark, n);
    if (zeroSelected) counts.marked += static_cast<long long>(n);
  };
  for (int y = 0; y < rows; ++y) {
    const size_t rowStart = static_cast<size_t>(y) * static_cast<size_t>(cols);
    unsigned char* const maskRow = mask + rowStart;
    const int bi = y / 3;
    if (bi >= blocks.blockRows) {
      fill(maskRow, static_cast<size_t>(cols));
      continue;
    }
    const unsigned char* const mapRow =
        blocks.map + static_cast<size_t>(bi) * static_cast<size_t>(blocks.blockCols);
    int x = 0;  // cells before x are marked
    for (int bj = 0; bj < blocks.blockCols;) {
      if (mapRow[bj] == 0) {
        ++bj;
        continue;
      }
      const int first = bj;
      while (bj < blocks.blockCols && mapRow[bj] != 0) ++bj;
      fill(maskRow + x, static_cast<size_t>(3 * first - x));
      const MarkCounts run = markFreshMask(field + rowStart + 3 * first, maskRow + 3 * first,
                                           static_cast<size_t>(3 * (bj - first)), threshold);
      counts.marked += run.marked;
      counts.nonZero += run.nonZero;
      x = 3 * bj;
    }
    fill(maskRow + x, static_cast<size_t>(cols - x));
  }
  return counts;
}

void summariseComputedQuarterRows(QuarterMaxima& quarters, int finalRows,
                                  const ComputedBlocks& blocks) {
  const int h = quarters.boxSize / 2;
  const int end = std::min(quarters.quarterRows, finalRows / h);
  if (quarters.summarisedRows >= end) return;
  const int qCols = quarters.quarterCols;
  // touched[j]: some block of the quarter row's block rows is computed in
  // block column j.
  std::vector<unsigned char> touched(static_cast<size_t>(blocks.blockCols) + 1);
  std::vector<float> columnMax(static_cast<size_t>(qCols) * h);
  for (int qr = quarters.summarisedRows; qr < end; ++qr) {
    float* const out = quarters.maxima.data() + static_cast<size_t>(qr) * qCols;
    std::fill(touched.begin(), touched.end(), 0);
    const int top = qr * h / 3;
    const int bottom = std::min(blocks.blockRows - 1, (qr * h + h - 1) / 3);
    for (int bi = top; bi <= bottom; ++bi) {
      const unsigned char* mapRow =
          blocks.map + static_cast<size_t>(bi) * static_cast<size_t>(blocks.blockCols);
      for (int bj = 0; bj < blocks.blockCols; ++bj) touched[bj] |= mapRow[bj];
    }
    // Quarter qc covers columns qc*h .. qc*h+h-1, block columns qc*h/3 ..
    // (qc*h+h-1)/3 (column blockCols, past every block, is never touched).
    auto overlaps = [&](int qc) {
      const int left = qc * h / 3;
      const int right = std::min(blocks.blockCols, (qc * h + h - 1) / 3);
      for (int bj = left; bj <= right; ++bj)
        if (touched[bj]) return true;
      return false;
    };
    for (int qc = 0; qc < qCols;) {
      if (!overlaps(qc)) {
        out[qc++] = 0.0f;  // all +0: what the maxima below make of them
        continue;
      }
      const int first = qc;
      while (qc < qCols && overlaps(qc)) ++qc;
      // The quarters first .. qc-1, exactly as summariseQuarterRows forms them.
      const int x0 = first * h, n = (qc - first) * h;
      float* const m = columnMax.data();
      for (int j = 0; j < n; ++j) m[j] = -INFINITY;
      for (int i = qr * h; i < qr * h + h; ++i)
        raiseColumnMaxima(quarters.field + static_cast<long long>(i) * quarters.cols + x0, m,
                          n);
      for (int k = first; k < qc; ++k) {
        float q = -INFINITY;
        for (int j = (k - first) * h; j < (k - first) * h + h; ++j) q = m[j] > q ? m[j] : q;
        out[k] = q;
      }
    }
  }
  quarters.summarisedRows = end;
}

}  // namespace contours
