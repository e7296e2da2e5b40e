#include <contours/contours.hpp>

namespace contours {

void buildQuantileTable(const int* histogram, float* quantileTable, int bins) {
  int total = 0;
  for (int i = 0; i < bins; ++i) total += histogram[i];

  // The step is a power of two for 256 bins, so the running fraction takes the
  // values m/bins exactly and every fraction is placed exactly once.
  const float step = static_cast<float>(1.0 / bins);
  const float last = static_cast<float>(bins) * step;
  const float totalF = static_cast<float>(total);
  int cumulative = 0;
  float running = step;
  int filled = 0;
  for (int i = 0; i < bins; ++i) {
    cumulative += histogram[i];
    for (float f = running; f <= last && filled < bins; f += step) {
      if (totalF * f > static_cast<float>(cumulative)) {
        running = f;
        break;
      }
      // Reached inside bin i: interpolate between its edges. An empty bin
      // never gets here while total > 0; with total 0 every entry is 0/0.
      quantileTable[filled++] =
          (totalF * f - static_cast<float>(cumulative - histogram[i])) /
              static_cast<float>(histogram[i]) +
          static_cast<float>(i);
    }
    if (filled >= bins) break;
  }
}

}  // namespace contours
