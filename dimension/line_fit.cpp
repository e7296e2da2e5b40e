#include <contours/dimension.hpp>

#include <stdexcept>
#include <vector>

namespace contours {

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
