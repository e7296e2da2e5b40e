#pragma once
// Marking a float field at a threshold, the one kernel behind every float
// marking: the block mask, fixLastSegment and the pixel field held as floats.
// Private to the library.

#include <cstddef>

namespace contours {

struct MarkCounts {
  long long marked = 0;   // cells set to 0
  long long nonZero = 0;  // field cells that are not 0
};

// A fresh mask of n cells (every byte is written): 0 where field >= threshold
// (ordered: NaN never qualifies), 255 elsewhere; with the counts.
MarkCounts markCells(const float* field, unsigned char* mask, size_t n, float threshold);

// The same mask written over the field itself: on return the first n bytes
// of the field's buffer are the mask, and the field is gone.
MarkCounts markCellsInPlace(float* field, size_t n, float threshold);

}  // namespace contours
