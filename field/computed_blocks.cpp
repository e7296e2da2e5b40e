#include "field/computed_blocks.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "support/bands.hpp"

namespace contours {

ComputedBlocks::ComputedBlocks(int blockRows, int blockCols)
    : blockRows_(blockRows), blockCols_(blockCols) {}

void ComputedBlocks::add(int bi, int first, int end) {
  while (rowStart_.size() <= static_cast<size_t>(bi)) rowStart_.push_back(runs_.size());
  runs_.push_back({first, end});
}

const BlockSpan* ComputedBlocks::begin(int bi) const {
  const size_t i = static_cast<size_t>(bi);
  return runs_.data() + (i < rowStart_.size() ? rowStart_[i] : runs_.size());
}

const BlockSpan* ComputedBlocks::end(int bi) const {
  const size_t i = static_cast<size_t>(bi) + 1;
  return runs_.data() + (i < rowStart_.size() ? rowStart_[i] : runs_.size());
}

namespace {

// Gaps between computed blocks, or overlapping quarters, that the marking and
// the summary read through rather than skip.
constexpr int kGapBlocks = 10;
constexpr int kGapQuarters = 8;

// Spans [first, end) in increasing order, each at least one unit, gaps of up
// to gap units bridged. Where they would cover most of [0, n), the one span
// [0, n): a long pass is faster than many short ones, and what a pass reads
// in a gap is +0, which it treats exactly as the skipping would.
class BridgedSpans {
 public:
  BridgedSpans(int n, int gap) : n_(n), gap_(gap) {}
  void clear() {
    spans_.clear();
    covered_ = 0;
  }
  // Spans must come in increasing order of first.
  void add(int first, int end) {
    if (!spans_.empty() && first - spans_.back().end <= gap_) {
      if (end > spans_.back().end) {
        covered_ += end - spans_.back().end;
        spans_.back().end = end;
      }
      return;
    }
    spans_.push_back({first, end});
    covered_ += end - first;
  }
  const std::vector<BlockSpan>& spans() {
    if (2 * covered_ > n_) {
      spans_.assign(1, BlockSpan{0, n_});
      covered_ = n_;
    }
    return spans_;
  }

 private:
  int n_, gap_;
  int covered_ = 0;
  std::vector<BlockSpan> spans_;
};

}  // namespace

namespace {

// markComputedField over the rows of block rows first .. end-1 (the last
// block row also takes the rows below the whole blocks).
MarkCounts markComputedRows(const float* field, unsigned char* mask, int rows, int cols,
                            float threshold, const ComputedBlocks& blocks, int first,
                            int end) {
  // A cell never computed holds +0, which is selected exactly when
  // +0 >= threshold.
  const bool zeroSelected = 0.0f >= threshold;
  const unsigned char zeroMark = zeroSelected ? 0 : 255;
  MarkCounts counts;
  auto fill = [&](unsigned char* to, int n) {
    if (n == 0) return;  // to may be the null data of an empty mask
    std::memset(to, zeroMark, static_cast<size_t>(n));
    if (zeroSelected) counts.marked += n;
  };
  BridgedSpans runs(blocks.blockCols(), kGapBlocks);
  for (int bi = first; bi < end; ++bi) {
    runs.clear();
    if (bi < blocks.blockRows())
      for (const BlockSpan* r = blocks.begin(bi); r != blocks.end(bi); ++r)
        runs.add(r->first, r->end);
    for (int y = 3 * bi; y < std::min(rows, 3 * bi + 3); ++y) {
      const size_t rowStart = static_cast<size_t>(y) * static_cast<size_t>(cols);
      unsigned char* const maskRow = mask + rowStart;
      int x = 0;  // cells before x are marked
      for (const BlockSpan& run : runs.spans()) {
        fill(maskRow + x, 3 * run.first - x);
        const MarkCounts marked =
            markCells(field + rowStart + 3 * run.first, maskRow + 3 * run.first,
                          static_cast<size_t>(3 * (run.end - run.first)), threshold);
        counts.marked += marked.marked;
        counts.nonZero += marked.nonZero;
        x = 3 * run.end;
      }
      fill(maskRow + x, cols - x);
    }
  }
  return counts;
}

}  // namespace

MarkCounts markComputedField(const float* field, unsigned char* mask, int rows, int cols,
                             float threshold, const ComputedBlocks& blocks,
                             const Split& split) {
  // Each band of block rows marks its own rows.
  const int groups = (rows + 2) / 3;
  const Split bands = split.atMost(groups);
  std::vector<MarkCounts> counts(static_cast<size_t>(bands.bands));
  forEachBand(bands, [&](int k) {
    const BandSpan span = bandSpan(groups, bands.bands, k);
    counts[k] = markComputedRows(field, mask, rows, cols, threshold, blocks, span.first,
                                 span.end);
  });
  MarkCounts total;
  for (const MarkCounts& band : counts) {
    total.marked += band.marked;
    total.nonZero += band.nonZero;
  }
  return total;
}

namespace {

// Rows of quarters first .. end-1 of the summary.
void summariseComputedQuarterRange(QuarterMaxima& quarters, int first, int end,
                                   const ComputedBlocks& blocks) {
  if (first >= end) return;
  const int h = quarters.boxSize / 2;
  const int qCols = quarters.quarterCols;
  std::vector<float> columnMax(static_cast<size_t>(qCols) * h);
  BridgedSpans runs(qCols, kGapQuarters);
  for (int qr = first; qr < end; ++qr) {
    float* const out = quarters.maxima.data() + static_cast<size_t>(qr) * qCols;
    // The quarters overlapping a computed block of the quarter row's one or
    // two block rows: block columns first .. end-1 are pixel columns
    // 3*first .. 3*end-1, quarters 3*first/h .. (3*end-1)/h (past the
    // counted extent, none). Two rows' runs are merged in column order.
    runs.clear();
    const int top = qr * h / 3;
    const int bottom = std::min(blocks.blockRows() - 1, (qr * h + h - 1) / 3);
    const BlockSpan *a = nullptr, *aEnd = nullptr, *b = nullptr, *bEnd = nullptr;
    if (top <= bottom) {
      a = blocks.begin(top), aEnd = blocks.end(top);
      b = aEnd, bEnd = aEnd;
      if (bottom > top) b = blocks.begin(bottom), bEnd = blocks.end(bottom);
    }
    while (a != aEnd || b != bEnd) {
      const BlockSpan* next = b == bEnd || (a != aEnd && a->first <= b->first) ? a++ : b++;
      const int first = 3 * next->first / h;
      const int last = std::min(qCols - 1, (3 * next->end - 1) / h);
      if (first <= last) runs.add(first, last + 1);
    }
    int done = 0;  // quarters before done are summarised
    for (const BlockSpan& run : runs.spans()) {
      // Quarters of +0 cells only: what the maxima below make of them.
      std::fill(out + done, out + run.first, 0.0f);
      // The quarters of the run, exactly as summariseQuarterRows forms them.
      const int x0 = run.first * h, n = (run.end - run.first) * h;
      float* const m = columnMax.data();
      for (int j = 0; j < n; ++j) m[j] = -INFINITY;
      for (int i = qr * h; i < qr * h + h; ++i)
        raiseColumnMaxima(quarters.field + static_cast<long long>(i) * quarters.cols + x0, m,
                          n);
      for (int k = run.first; k < run.end; ++k) {
        float q = -INFINITY;
        for (int j = (k - run.first) * h; j < (k - run.first) * h + h; ++j)
          q = m[j] > q ? m[j] : q;
        out[k] = q;
      }
      done = run.end;
    }
    std::fill(out + done, out + qCols, 0.0f);
  }
}

}  // namespace

void summariseComputedQuarterRows(QuarterMaxima& quarters, int finalRows,
                                  const ComputedBlocks& blocks) {
  const int end = std::min(quarters.quarterRows, finalRows / (quarters.boxSize / 2));
  if (quarters.summarisedRows >= end) return;
  summariseComputedQuarterRange(quarters, quarters.summarisedRows, end, blocks);
  quarters.summarisedRows = end;
}

void summariseComputedQuarters(QuarterMaxima& quarters, const ComputedBlocks& blocks,
                               const Split& split) {
  // Each row of quarters is made from its own rows of the field alone.
  const int first = quarters.summarisedRows, count = quarters.quarterRows - first;
  const Split bands = split.atMost(count);
  forEachBand(bands, [&](int k) {
    const BandSpan span = bandSpan(count, bands.bands, k);
    summariseComputedQuarterRange(quarters, first + span.first, first + span.end, blocks);
  });
  quarters.summarisedRows = std::max(first, quarters.quarterRows);
}

}  // namespace contours
