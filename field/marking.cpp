#include "field/marking.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include <contours/contours.hpp>

#include "support/vector_build.hpp"

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

// Marks the n cells of field a stretch at a time into a scratch, handing
// each stretch's marks to take(offset, marks, cells).
template <class Take>
MarkCounts markInStretches(const float* field, size_t n, float threshold, Take take) {
  constexpr size_t kStretch = 1024;
  unsigned char scratch[kStretch];
  MarkCounts counts;
  for (size_t i = 0; i < n; i += kStretch) {
    const size_t cells = std::min(kStretch, n - i);
    const MarkCounts part = markCells(field + i, scratch, cells, threshold);
    take(i, scratch, cells);
    counts.marked += part.marked;
    counts.nonZero += part.nonZero;
  }
  return counts;
}

}  // namespace

MarkCounts markCells(const float* field, unsigned char* mask, size_t n, float threshold) {
  return runVectorBuild<MarkCells>(field, mask, n, threshold);
}

MarkCounts markCells(const float* field, unsigned char* mask, size_t n, float threshold,
                     const Split& split) {
  const int cells = static_cast<int>(n);
  const Split bands = split.atMost(cells);
  std::vector<MarkCounts> counts(static_cast<size_t>(bands.bands));
  forEachBand(bands, [&](int k) {
    const BandSpan span = bandSpan(cells, bands.bands, k);
    counts[k] = markCells(field + span.first, mask + span.first,
                          static_cast<size_t>(span.end - span.first), threshold);
  });
  MarkCounts total;
  for (const MarkCounts& band : counts) {
    total.marked += band.marked;
    total.nonZero += band.nonZero;
  }
  return total;
}

void fixLastSegment(const float* field, unsigned char* mask, int rows, int cols,
                    float threshold) {
  if (rows <= 0 || cols <= 0) return;  // no cells
  const size_t n = static_cast<size_t>(rows) * static_cast<size_t>(cols);
  // A mark is 0 or 255, so AND-ing it in sets the selected cells to 0 and
  // keeps every other byte.
  markInStretches(field, n, threshold,
                  [&](size_t at, const unsigned char* marks, size_t cells) {
                    for (size_t k = 0; k < cells; ++k) mask[at + k] &= marks[k];
                  });
}

}  // namespace contours
