#pragma once
// Box-counting dimension of a thresholded field.

#include <map>
#include <vector>

namespace contours {

// Ascending map ln(1/box size) -> ln(occupied boxes).
using DimensionSamples = std::map<float, float>;

// Counts, over the top-left s*floor(rows/s) x s*floor(cols/s) cells of field
// (row stride cols), the s x s boxes holding a cell >= threshold (N1) and the
// occupied s/2 x s/2 quarters of those boxes (N2). Returns
// {ln(1/s): ln N1, ln(1/(s/2)): ln N2}, keys and values computed in double and
// rounded to float; an empty count gives -infinity.
// A NaN cell never qualifies, and a NaN threshold lets none qualify.
// Throws std::invalid_argument when boxSize is odd or below 2 (the quarter
// scheme needs an even box), and when rows or cols is negative.
DimensionSamples BowCountingDimension(const float* field, int rows, int cols,
                                      float threshold, int boxSize);

// Least-squares line y = a*x + b through the first x.size() samples, through
// explicitly inverted normal equations, entirely in float. Returns {a, b}.
// Degenerate samples give the IEEE result: no sample gives {0, 0}; one
// sample, or all x equal, gives {NaN, NaN}. Throws std::invalid_argument when
// y holds fewer values than x.
std::vector<float> NormalEquations2d(const std::vector<float>& y,
                                     const std::vector<float>& x);

}  // namespace contours
