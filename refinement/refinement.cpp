#include "refinement.hpp"

#include <initializer_list>

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

void preparingFineContours(int bi, int bj, float*** pixelPlanes, float* field,
                           float* u, float* w, float** metric,
                           float* mask1, float* mask2, int W, int n) {
  const int half = n / 2;
  for (int row = 3 * bi; row < 3 * bi + 3; ++row) {
    for (int col = 3 * bj; col < 3 * bj + 3; ++col) {
      u[0] = u[1] = u[2] = 0.0f;
      w[0] = w[1] = w[2] = 0.0f;
      for (int k = 0; k < n; ++k) {
        const int y = row + k - half;
        for (int l = 0; l < n; ++l) {
          const int x = col + l - half;
          const float a = mask1[k * n + l];
          const float b = mask2[k * n + l];
          for (int p = 0; p < 3; ++p) u[p] = pixelPlanes[p][y][x] * a + u[p];
          for (int p = 0; p < 3; ++p) w[p] = pixelPlanes[p][y][x] * b + w[p];
        }
      }
      metric[0][0] = (u[0] * u[0] + u[1] * u[1]) + u[2] * u[2];
      metric[0][1] = (u[0] * w[0] + u[1] * w[1]) + u[2] * w[2];
      metric[1][0] = metric[0][1];
      metric[1][1] = (w[0] * w[0] + w[1] * w[1]) + w[2] * w[2];
      const float E = metric[0][0], F = metric[0][1], G = metric[1][1];
      const float d = G * E - F * F;
      const float t = G + E;
      field[row * W + col] = (t * t) / d;
    }
  }
}

void calcFineContours(float* field, unsigned char* blockMask, float*** pixelPlanes,
                      float* mask1, float* mask2, int blockRows, int blockCols,
                      int W, int n) {
  float u[3], w[3];
  float metricStorage[4];
  float* metric[2] = {metricStorage, metricStorage + 2};
  for (int i = 2; i < blockRows - 2; ++i) {
    for (int j = 2; j < blockCols - 2; ++j) {
      if (blockMask[i * blockCols + j] == 255) continue;
      for (int bi = i - 1; bi <= i + 1; ++bi) {
        for (int bj = j - 1; bj <= j + 1; ++bj) {
          // A computed measure is never 0, so a zero first cell means the
          // block has not been computed yet (NaN counts as computed).
          if (field[3 * (bi * W + bj)] != 0.0f) continue;
          preparingFineContours(bi, bj, pixelPlanes, field, u, w, metric, mask1,
                                mask2, W, n);
        }
      }
    }
  }
}

}  // namespace contours
