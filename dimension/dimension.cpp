#include "dimension.hpp"

#include <cmath>
#include <stdexcept>

namespace contours {

namespace {

// True when some cell of the size x size square at (top, left) reaches the
// threshold. The comparison is ordered, so NaN cells never qualify.
bool squareQualifies(const float* field, int cols, int top, int left, int size,
                     float threshold) {
  for (int i = top; i < top + size; ++i) {
    const float* row = field + static_cast<long long>(i) * cols;
    for (int j = left; j < left + size; ++j)
      if (row[j] >= threshold) return true;
  }
  return false;
}

}  // namespace

DimensionSamples BowCountingDimension(const float* field, int rows, int cols,
                                      float threshold, int boxSize) {
  if (boxSize < 2 || boxSize % 2 != 0)
    throw std::invalid_argument("box size must be even and at least 2");
  if (rows < 0 || cols < 0)
    throw std::invalid_argument("field size must not be negative");

  const int s = boxSize;
  const int h = s / 2;
  const int boxRows = rows / s;
  const int boxCols = cols / s;

  std::vector<bool> occupied(static_cast<size_t>(boxRows) * boxCols, false);
  for (int u = 0; u < boxRows; ++u)
    for (int v = 0; v < boxCols; ++v)
      if (squareQualifies(field, cols, u * s, v * s, s, threshold))
        occupied[static_cast<size_t>(u) * boxCols + v] = true;

  int N1 = 0, N2 = 0;
  for (int u = 0; u < boxRows; ++u) {
    for (int v = 0; v < boxCols; ++v) {
      if (!occupied[static_cast<size_t>(u) * boxCols + v]) continue;
      ++N1;
      for (int p = 0; p < 2; ++p)
        for (int q = 0; q < 2; ++q)
          if (squareQualifies(field, cols, u * s + p * h, v * s + q * h, h,
                              threshold))
            ++N2;
    }
  }

  DimensionSamples samples;
  samples.emplace(static_cast<float>(std::log(1.0 / s)),
                  static_cast<float>(std::log(static_cast<double>(N1))));
  samples.emplace(static_cast<float>(std::log(1.0 / h)),
                  static_cast<float>(std::log(static_cast<double>(N2))));
  return samples;
}

std::vector<float> NormalEquations2d(const std::vector<float>& y,
                                     const std::vector<float>& x) {
  const size_t n = x.size();
  if (y.size() < n)
    throw std::invalid_argument("fewer observations than abscissae");

  float Sx = 0.0f, Sxx = 0.0f;
  for (size_t k = 0; k < n; ++k) {
    Sx = Sx + x[k];
    Sxx = Sxx + x[k] * x[k];
  }
  const float nf = static_cast<float>(n);
  const float d = 1.0f / (nf * Sxx - Sx * Sx);
  const float A[2][2] = {{nf * d, (-Sx) * d}, {(-Sx) * d, Sxx * d}};

  std::vector<float> weights[2] = {std::vector<float>(n), std::vector<float>(n)};
  for (int r = 0; r < 2; ++r)
    for (size_t k = 0; k < n; ++k) weights[r][k] = x[k] * A[r][0] + A[r][1];

  std::vector<float> result(2, 0.0f);
  for (int r = 0; r < 2; ++r)
    for (size_t k = 0; k < n; ++k) result[r] = result[r] + y[k] * weights[r][k];
  return result;
}

}  // namespace contours
