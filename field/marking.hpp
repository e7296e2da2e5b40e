#pragma once
// Marking a float field at a threshold, the one kernel behind every float
// marking: the block mask, fixLastSegment and the pixel field held as floats.
// Private to the library.

#include <cstddef>

#include "support/bands.hpp"

namespace contours {

struct MarkCounts {
  long long marked = 0;   // cells set to 0
  long long nonZero = 0;  // field cells that are not 0
};

// A fresh mask of n cells (every byte is written): 0 where field >= threshold
// (ordered: NaN never qualifies), 255 elsewhere; with the counts.
MarkCounts markCells(const float* field, unsigned char* mask, size_t n, float threshold);
// The same in bands of cells side by side (see forEachBand); n below 2^31.
MarkCounts markCells(const float* field, unsigned char* mask, size_t n, float threshold,
                     const Split& split);

}  // namespace contours
