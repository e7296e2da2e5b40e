#pragma once
// Box counting summarised for repeated thresholds, as the threshold searches
// use it: one pass over a field gives a summary from which every threshold's
// counts follow in time proportional to the number of quarters. Private to
// the library.

#include <vector>

#include <contours/dimension.hpp>

#include "support/bands.hpp"
#include "support/working_memory.hpp"

namespace contours {

// The maximum of every s/2 x s/2 quarter of a field's counted extent (the
// top-left s*floor(rows/s) x s*floor(cols/s) cells), NaN cells ignored; a
// quarter of NaN cells only holds -infinity. A quarter then holds a cell that
// reaches a threshold t exactly when its maximum reaches t, for every t except
// -infinity (which an all-NaN quarter must not reach).
struct QuarterMaxima {
  const float* field = nullptr;  // the field summarised, for -infinity
  int rows = 0;
  int cols = 0;
  int boxSize = 0;
  int quarterRows = 0;  // 2 * floor(rows / boxSize)
  int quarterCols = 0;  // 2 * floor(cols / boxSize)
  WorkingVector<float> maxima;  // quarterRows x quarterCols, row-major
  int summarisedRows = 0;     // rows of quarters summarised so far
};

// Summarises field for repeated box counting, in bands of rows of quarters
// side by side (see forEachBand). field must outlive the result.
// Throws std::invalid_argument as BowCountingDimension does.
QuarterMaxima summariseQuarters(const float* field, int rows, int cols, int boxSize,
                                const Split& bands = {});

// The same summary made piece by piece while the field is being filled:
// startQuarters summarises nothing yet; summariseQuarterRows(quarters,
// finalRows) summarises every row of quarters lying wholly in field rows
// 0 .. finalRows-1 that is not summarised yet, so the caller promises those
// rows hold their final values. After summariseQuarterRows(quarters, rows)
// the summary equals summariseQuarters.
QuarterMaxima startQuarters(const float* field, int rows, int cols, int boxSize);
void summariseQuarterRows(QuarterMaxima& quarters, int finalRows);

// m[j] = the larger of m[j] and row[j] for j < n, keeping m[j] when row[j] is
// NaN: the column maxima of a row of quarters.
void raiseColumnMaxima(const float* row, float* m, int n);

// The samples BowCountingDimension gives for the summarised field and
// threshold; counted in bands of whole boxes side by side (see forEachBand).
DimensionSamples countBoxesReaching(const QuarterMaxima& quarters, float threshold,
                                    const Split& bands = {});

// The same summary of a field held as a byte a cell, a byte a quarter: the
// largest byte of each quarter of the counted extent. A quarter holds a cell
// above k exactly when its maximum is above k.
struct RankQuarters {
  int boxSize = 0;
  int quarterRows = 0;  // 2 * floor(rows / boxSize)
  int quarterCols = 0;  // 2 * floor(cols / boxSize)
  WorkingVector<unsigned char> maxima;  // quarterRows x quarterCols, all 0 to start
};

// Throws std::invalid_argument as BowCountingDimension does.
RankQuarters startRankQuarters(int rows, int cols, int boxSize);

// The samples BowCountingDimension gives for the cells of the summarised
// byte field that are above rank (for a field of ranks among a table's
// entries: that reach entry rank).
DimensionSamples countBoxesAboveRank(const RankQuarters& quarters, int rank,
                                     const Split& bands = {});

}  // namespace contours
