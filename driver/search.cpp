#include <contours/contours.hpp>
#include "driver/search.hpp"

#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <vector>

#include <contours/dimension.hpp>

#include "dimension/box_counting.hpp"

namespace contours {

namespace {

// The dimension of a pair of box-counting samples: the slope of their values
// against their keys, walked in ascending key order.
float slopeOf(const DimensionSamples& samples) {
  std::vector<float> values(samples.size(), 0.0f);
  std::vector<float> keys(samples.size(), 0.0f);
  size_t i = 0;
  for (const auto& [key, value] : samples) {
    values[i] = value;
    keys[i] = key;
    ++i;
  }
  return NormalEquations2d(values, keys)[0];
}

// The start index must name a table entry; checked in double before the
// conversion, which is undefined for NaN or out-of-range values.
void checkSearchStart(int bins, double startFraction) {
  const double start = bins * startFraction;
  if (bins < 1 || !(start >= 0.0 && start < bins))
    throw std::invalid_argument("search start outside the quantile table");
}

}  // namespace

SearchRecord findThreshold(const float* field, int rows, int cols,
                           const float* quantileTable, int bins, float target,
                           float tolerance, double startFraction, int boxSize,
                           const Split& bands) {
  checkSearchStart(bins, startFraction);
  // Every evaluation counts boxes over the same field: summarise it once.
  const QuarterMaxima quarters = summariseQuarters(field, rows, cols, boxSize, bands);
  return findThreshold(
      [&](int index) { return countBoxesReaching(quarters, quantileTable[index], bands); },
      quantileTable, bins, target, tolerance, startFraction);
}

SearchRecord findThreshold(const std::function<DimensionSamples(int)>& samplesAt,
                           const float* quantileTable, int bins, float target,
                           float tolerance, double startFraction) {
  checkSearchStart(bins, startFraction);
  const double start = bins * startFraction;
  SearchRecord record;
  auto evaluate = [&](int index) {
    const float threshold = quantileTable[index];
    const float dimension = slopeOf(samplesAt(index));
    record.evaluations.push_back({index, threshold, dimension});
    return dimension;
  };

  int lo = 0;
  int hi = bins - 1;
  int mid = static_cast<int>(start);
  float D = evaluate(mid);
  // A NaN dimension fails the comparison and ends the search where it is.
  for (int step = 0; std::fabs(D - target) > tolerance && step <= 4;) {
    ++step;
    if (D > target)
      lo = mid;  // too rich a selection: move to a higher threshold
    else
      hi = mid;
    mid = static_cast<int>(static_cast<double>(lo + hi) * 0.5);
    D = evaluate(mid);
  }
  record.index = mid;
  record.threshold = quantileTable[mid];
  return record;
}

SearchRecord thresholdSearch(const float* field, int rows, int cols,
                             const float* quantileTable, int bins, float target,
                             float tolerance, double startFraction, int boxSize,
                             unsigned char* mask) {
  SearchRecord record = findThreshold(field, rows, cols, quantileTable, bins, target,
                                      tolerance, startFraction, boxSize);
  fixLastSegment(field, mask, rows, cols, record.threshold);
  return record;
}

}  // namespace contours
