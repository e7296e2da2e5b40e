#include "surface.hpp"

#include <cmath>
#include <cstring>
#include <vector>

// Hot loops are built twice on x86-64, for AVX2 and for the baseline, and the
// loader picks the one the processor runs. Both evaluate the same single
// operations on each value, so they give the same bits.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && \
    !defined(__AVX2__) && !defined(__SANITIZE_ADDRESS__)
#define CONTOURS_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define CONTOURS_VECTOR_CLONES
#endif


namespace contours {

namespace {

// Eight floats processed side by side: each lane is one block cell, computed
// with exactly the single operations of the scalar formula.
typedef float Lanes __attribute__((vector_size(32)));
constexpr int kLanes = 8;

inline Lanes loadLanes(const float* p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void storeLanes(float* p, Lanes v) { std::memcpy(p, &v, sizeof v); }

inline float loadOne(const float* p) { return *p; }

// The block measure from the block surface at (j, k): forward differences
// to the right (u) and below (w), each times 3, then (E+G)^2 / (EG-F^2).
template <class T>
inline T blockMeasure(const float* const (&here)[3], const float* const (&below)[3],
                      int k, T (*load)(const float*)) {
  T w[3], u[3];
  for (int l = 0; l < 3; ++l) {
    const T q = load(here[l] + k);
    w[l] = (load(below[l] + k) - q) * 3.0f;
    u[l] = (load(here[l] + k + 1) - q) * 3.0f;
  }
  const T E = (u[0] * u[0] + u[1] * u[1]) + u[2] * u[2];
  const T F = (u[0] * w[0] + u[1] * w[1]) + u[2] * w[2];
  const T G = (w[0] * w[0] + w[1] * w[1]) + w[2] * w[2];
  const T d = G * E - F * F;
  const T t = G + E;
  return (t * t) / d;
}

// Block field cells 0 .. count-1 of block row j.
CONTOURS_VECTOR_CLONES
void blockMeasureRow(float*** blockPlanes, int j, int count, float* fieldRow) {
  const float* here[3];
  const float* below[3];
  for (int l = 0; l < 3; ++l) {
    here[l] = blockPlanes[l][j];
    below[l] = blockPlanes[l][j + 1];
  }
  int k = 0;
  for (; k + kLanes <= count; k += kLanes)
    storeLanes(fieldRow + k, blockMeasure<Lanes>(here, below, k, loadLanes));
  for (; k < count; ++k) fieldRow[k] = blockMeasure<float>(here, below, k, loadOne);
}

// Products of the colour combinations with the projection factors, one per
// possible integer value: the same single-precision products the formulas
// take, looked up instead of recomputed for every pixel.
struct ProjectionTables {
  float opponent6[1021];   // float(c1 + c2 - 2*c0) * k6, index + 510
  float opponent2[511];    // float(c1 - c2) * k2, index + 255
  float intensity[766];    // float(c0 + c1 + c2) * k3
  ProjectionTables(float k6, float k2, float k3) {
    for (int v = -510; v <= 510; ++v) opponent6[v + 510] = static_cast<float>(v) * k6;
    for (int v = -255; v <= 255; ++v) opponent2[v + 255] = static_cast<float>(v) * k2;
    for (int v = 0; v <= 765; ++v) intensity[v] = static_cast<float>(v) * k3;
  }
};

}  // namespace

void processImage(const cv::Mat& image, float* blockField, float*** pixelPlanes,
                  float*** blockPlanes, int* histogram, int H, int W, int bins) {
  // Projection factors: 1/sqrt(n) in double, rounded once to float.
  const float k6 = static_cast<float>(1.0 / std::sqrt(6.0));
  const float k2 = static_cast<float>(1.0 / std::sqrt(2.0));
  const float k3 = static_cast<float>(1.0 / std::sqrt(3.0));
  const ProjectionTables tables(k6, k2, k3);

  const int blockRows = H / 3;
  const int blockCols = W / 3;

  // float(20 * x) for every column of a complete block.
  std::vector<float> columnPosition(static_cast<size_t>(3) * blockCols);
  for (int x = 0; x < 3 * blockCols; ++x)
    columnPosition[x] = static_cast<float>(20 * x);
  // Colour sums of the blocks of one block row. They are whole numbers up to
  // 2295, so summing in int and converting gives the float sums exactly.
  std::vector<int> sums(static_cast<size_t>(3) * blockCols);

  // Block pass: every pixel of a complete block is read once, row by row; its
  // surface point and its block's colour sums come from the same visit.
  for (int bj = 0; bj < blockRows; ++bj) {
    std::fill(sums.begin(), sums.end(), 0);
    for (int y = 3 * bj; y < 3 * bj + 3; ++y) {
      const unsigned char* __restrict bgr = image.ptr<unsigned char>(y);
      float* __restrict p0 = pixelPlanes[0][y];
      float* __restrict p1 = pixelPlanes[1][y];
      float* __restrict p2 = pixelPlanes[2][y];
      const float rowPosition = static_cast<float>(20 * y);
      int* __restrict s = sums.data();
      for (int bk = 0; bk < blockCols; ++bk) {
        int s0 = 0, s1 = 0, s2 = 0;
        for (int x = 3 * bk; x < 3 * bk + 3; ++x) {
          const int c0 = 255 - bgr[3 * x];
          const int c1 = 255 - bgr[3 * x + 1];
          const int c2 = 255 - bgr[3 * x + 2];
          s0 += c0;
          s1 += c1;
          s2 += c2;
          p0[x] = rowPosition + tables.opponent6[c1 + c2 - 2 * c0 + 510];
          p1[x] = columnPosition[x] + tables.opponent2[c1 - c2 + 255];
          p2[x] = tables.intensity[c0 + c1 + c2];
        }
        s[3 * bk] += s0;
        s[3 * bk + 1] += s1;
        s[3 * bk + 2] += s2;
      }
    }
    for (int bk = 0; bk < blockCols; ++bk) {
      // The sums are whole numbers in 0..2295, so the float quotient
      // truncates to the integer quotient.
      const int a0 = static_cast<int>(static_cast<float>(sums[3 * bk]) / 9.0f);
      const int a1 = static_cast<int>(static_cast<float>(sums[3 * bk + 1]) / 9.0f);
      const int a2 = static_cast<int>(static_cast<float>(sums[3 * bk + 2]) / 9.0f);
      blockPlanes[0][bj][bk] = static_cast<float>(20 * (3 * bj)) +
                               static_cast<float>(a1 + a2 - 2 * a0) * k6;
      blockPlanes[1][bj][bk] = static_cast<float>(20 * (3 * bk)) +
                               static_cast<float>(a1 - a2) * k2;
      blockPlanes[2][bj][bk] = static_cast<float>(a0 + a1 + a2) * k3;
    }
  }

  // Measure pass: forward differences between neighbouring blocks, a block row
  // at a time, then the histogram of the row's measures.
  const float binLimit = static_cast<float>(bins);
  for (int j = 0; j < blockRows - 2; ++j) {
    float* fieldRow = blockField + static_cast<size_t>(j) * blockCols;
    blockMeasureRow(blockPlanes, j, blockCols - 2, fieldRow);
    for (int k = 0; k < blockCols - 2; ++k) {
      const float m = fieldRow[k];
      // Range test in float before any conversion: m may be NaN or infinite
      // on degenerate blocks. Values in (-1, 0) truncate to bin 0.
      if (m > -1.0f && m < binLimit) ++histogram[static_cast<int>(m)];
    }
  }
}

}  // namespace contours
