#include "refinement/derivative_masks.hpp"

#include <cstddef>
#include <limits>
#include <stdexcept>

#include "refinement.hpp"

namespace contours {

DerivativeMasks derivativeMasks(int n) {
  // genericMatr's own refusals, before anything is allocated for the family.
  if (n < 1) throw std::invalid_argument("mask size must be at least 1");
  if (n > std::numeric_limits<int>::max() / n)
    throw std::invalid_argument("mask size whose square passes the int range");
  const std::size_t count = static_cast<std::size_t>(n) * static_cast<std::size_t>(n);
  std::vector<float> M[7];
  for (auto& member : M) member.assign(count, 0.0f);
  genericMatr(M[0].data(), M[1].data(), M[2].data(), M[3].data(), M[4].data(),
              M[5].data(), M[6].data(), n);
  DerivativeMasks masks;
  masks.n = n;
  masks.d1.resize(count);
  masks.d2.resize(count);
  const float size = static_cast<float>(n);
  for (std::size_t k = 0; k < count; ++k) {
    masks.d1[k] = (M[4][k] - M[3][k]) * size;  // (M5 - M4) * n
    masks.d2[k] = (M[2][k] - M[3][k]) * size;  // (M3 - M4) * n
  }
  return masks;
}

}  // namespace contours
