#pragma once
// The threshold search without the marking, as the pipeline runs it: the
// pipeline marks the chosen cells itself. Private to the library.

#include <functional>

#include <contours/contours.hpp>
#include <contours/dimension.hpp>

#include "support/bands.hpp"

namespace contours {

// thresholdSearch's evaluations and final threshold, with nothing marked,
// the box counts at table entry index being samplesAt(index).
SearchRecord findThreshold(const std::function<DimensionSamples(int)>& samplesAt,
                           const float* quantileTable, int bins, float target,
                           float tolerance, double startFraction);

// The same over a field, summarised once for every evaluation; summary and
// counts are made in bands side by side (see forEachBand).
SearchRecord findThreshold(const float* field, int rows, int cols,
                           const float* quantileTable, int bins, float target,
                           float tolerance, double startFraction, int boxSize,
                           const Split& bands = {});

}  // namespace contours
