#pragma once
// The threshold search without the marking, as the pipeline runs it: the
// pipeline marks a fresh mask itself, in the pass that also counts what the
// report needs. Private to the library.

#include "contours.hpp"
#include "dimension/quarter_maxima.hpp"

namespace contours {

// thresholdSearch's evaluations and final threshold, with nothing marked.
SearchRecord findThreshold(const float* field, int rows, int cols,
                           const float* quantileTable, int bins, float target,
                           float tolerance, double startFraction, int boxSize);

// The same search over a field already summarised for box counting (the box
// size is the summary's).
SearchRecord findThreshold(const QuarterMaxima& quarters, const float* quantileTable,
                           int bins, float target, float tolerance,
                           double startFraction);

// The same search over the rank quarters of summariseRankQuarters, for a table
// ranksServe accepts: the same evaluations and threshold as over the field
// the ranks were taken of.
SearchRecord findThresholdByRank(const RankQuarters& rankQuarters,
                                 const float* quantileTable, int bins, float target,
                                 float tolerance, double startFraction);

}  // namespace contours
