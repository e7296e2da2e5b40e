#include "refinement/mask_family.hpp"

#include <cstddef>
#include <limits>
#include <stdexcept>

#include <contours/refinement.hpp>

namespace contours {

namespace {

// One averaging pass along the rows: D[i][j] = (S[i][j] + S[i][j+1]) / 2 in
// double, the weight beyond the window taken as 0. D may be S: each update
// reads its successor before the successor is updated.
void rowPass(const float* S, float* D, int n) {
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n - 1; ++j) {
      D[i * n + j] = static_cast<float>(static_cast<double>(S[i * n + j]) * 0.5 +
                                        0.5 * static_cast<double>(S[i * n + j + 1]));
    }
    D[i * n + n - 1] = 0.5f * S[i * n + n - 1];
  }
}

// The same pass along the columns.
void columnPass(const float* S, float* D, int n) {
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < n - 1; ++i) {
      D[i * n + j] = static_cast<float>(static_cast<double>(S[i * n + j]) * 0.5 +
                                        0.5 * static_cast<double>(S[(i + 1) * n + j]));
    }
    D[(n - 1) * n + j] = 0.5f * S[(n - 1) * n + j];
  }
}

}  // namespace

void genericMatr(float* M1, float* M2, float* M3, float* M4, float* M5,
                 float* M6, float* M7, int n) {
  // The seed goes to the last element: without one there is nowhere to put it.
  if (n < 1) throw std::invalid_argument("mask size must be at least 1");
  // Elements are indexed in int, up to n * n.
  if (n > std::numeric_limits<int>::max() / n)
    throw std::invalid_argument("mask size whose square passes the int range");
  const int count = n * n;
  float* const members[] = {M1, M2, M3, M4, M5, M6, M7};
  for (float* M : members)
    for (int k = 0; k < count; ++k) M[k] = 0.0f;
  M1[count - 1] = 1.0f;
  for (int r = 0; r < n - 3; ++r) rowPass(M1, M1, n);
  for (int r = 0; r < n - 3; ++r) columnPass(M1, M1, n);
  for (float* M : {M2, M3, M4, M5, M6, M7})
    for (int k = 0; k < count; ++k) M[k] = M1[k];
  columnPass(M6, M6, n);
  columnPass(M6, M6, n);
  rowPass(M6, M5, n);
  rowPass(M5, M4, n);
  rowPass(M2, M2, n);
  columnPass(M2, M7, n);
  rowPass(M2, M2, n);
  rowPass(M7, M3, n);
}

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
