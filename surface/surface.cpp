#include <contours/surface.hpp>

#include <cmath>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "support/vector_build.hpp"
#include "surface/surface_rows.hpp"

namespace contours {

namespace {

// Eight block cells side by side, one a lane.
using Lanes = Lanes8;
constexpr int kLanes = 8;

// The block measure from the block surface at (j, k): forward differences
// to the right (u) and below (w), each times 3, then (E+G)^2 / (EG-F^2).
template <class T>
CONTOURS_INLINE T blockMeasure(const float* const (&here)[3],
                               const float* const (&below)[3], int k) {
  T w[3], u[3];
  for (int l = 0; l < 3; ++l) {
    const T q = loadAs<T>(here[l] + k);
    w[l] = (loadAs<T>(below[l] + k) - q) * 3.0f;
    u[l] = (loadAs<T>(here[l] + k + 1) - q) * 3.0f;
  }
  const T E = (u[0] * u[0] + u[1] * u[1]) + u[2] * u[2];
  const T F = (u[0] * w[0] + u[1] * w[1]) + u[2] * w[2];
  const T G = (w[0] * w[0] + w[1] * w[1]) + w[2] * w[2];
  const T d = G * E - F * F;
  const T t = G + E;
  return (t * t) / d;
}

// Block field cells 0 .. count-1 of a block row, from the block surface rows
// here (that row) and below (the next).
struct BlockMeasureRow {
  static CONTOURS_INLINE void run(const float* const (&here)[3],
                                  const float* const (&below)[3], int count,
                                  float* fieldRow) {
    int k = 0;
    for (; k + kLanes <= count; k += kLanes)
      storeLanes(fieldRow + k, blockMeasure<Lanes>(here, below, k));
    for (; k < count; ++k) fieldRow[k] = blockMeasure<float>(here, below, k);
  }
};

void blockMeasureRow(const float* const (&here)[3], const float* const (&below)[3],
                     int count, float* fieldRow) {
  runVectorBuild<BlockMeasureRow>(here, below, count, fieldRow);
}

// The surface point of pixel x of one image row (BGR bytes):
// P0 = float(20*y) + float(c1 + c2 - 2*c0) * k6, P1 = float(20*x) +
// float(c1 - c2) * k2, P2 = float(c0 + c1 + c2) * k3, with c = 255 - byte; the
// colour terms are formed in int, each product and sum rounded to float.
inline void surfacePoint(const unsigned char* bgr, int x, float rowPosition,
                         float k6, float k2, float k3, float* p0, float* p1,
                         float* p2) {
  const int c0 = 255 - bgr[3 * x];
  const int c1 = 255 - bgr[3 * x + 1];
  const int c2 = 255 - bgr[3 * x + 2];
  p0[x] = rowPosition + static_cast<float>(c1 + c2 - 2 * c0) * k6;
  p1[x] = static_cast<float>(20 * x) + static_cast<float>(c1 - c2) * k2;
  p2[x] = static_cast<float>(c0 + c1 + c2) * k3;
}

#ifdef CONTOURS_VECTOR_BUILDS
#define CONTOURS_SURFACE_AVX2 1
// Eight pixels at a time: their 24 bytes are split into the three channels by
// byte shuffles and widened to int lanes; each lane then takes exactly the
// int and float steps of surfacePoint. Returns the first pixel not done.
__attribute__((target("avx2"))) int surfaceRowAvx2(const unsigned char* bgr,
                                                   float rowPosition, int x0, int count,
                                                   float k6, float k2, float k3,
                                                   float* p0, float* p1, float* p2) {
  // Channel c of pixels 0..7: from the 16 bytes at 3x (pixels 0..5) and the
  // 16 bytes at 3x + 8 (pixels 5..7); -1 selects a zero byte.
  const __m128i fromLow[3] = {
      _mm_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1),
      _mm_setr_epi8(1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1),
      _mm_setr_epi8(2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1)};
  const __m128i fromHigh[3] = {
      _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 10, 13, -1, -1, -1, -1, -1, -1, -1, -1),
      _mm_setr_epi8(-1, -1, -1, -1, -1, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1),
      _mm_setr_epi8(-1, -1, -1, -1, -1, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1)};
  const __m256i all255 = _mm256_set1_epi32(255);
  const __m256 row = _mm256_set1_ps(rowPosition);
  const __m256 f6 = _mm256_set1_ps(k6), f2 = _mm256_set1_ps(k2), f3 = _mm256_set1_ps(k3);
  __m256i column = _mm256_add_epi32(_mm256_set1_epi32(20 * x0),
                                     _mm256_setr_epi32(0, 20, 40, 60, 80, 100, 120, 140));
  const __m256i columnStep = _mm256_set1_epi32(160);
  int x = x0;
  for (; x + 8 <= count; x += 8) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bgr + 3 * x));
    const __m128i high =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(bgr + 3 * x + 8));
    __m256i c[3];
    // Unrolled, so that the channels and the shuffle controls stay in
    // registers instead of going through the stack on every step.
#pragma GCC unroll 3
    for (int k = 0; k < 3; ++k) {
      const __m128i bytes = _mm_or_si128(_mm_shuffle_epi8(low, fromLow[k]),
                                         _mm_shuffle_epi8(high, fromHigh[k]));
      c[k] = _mm256_sub_epi32(all255, _mm256_cvtepu8_epi32(bytes));
    }
    const __m256i opponent6 =
        _mm256_sub_epi32(_mm256_add_epi32(c[1], c[2]), _mm256_add_epi32(c[0], c[0]));
    const __m256i opponent2 = _mm256_sub_epi32(c[1], c[2]);
    const __m256i intensity = _mm256_add_epi32(_mm256_add_epi32(c[0], c[1]), c[2]);
    _mm256_storeu_ps(p0 + x,
                     _mm256_add_ps(row, _mm256_mul_ps(_mm256_cvtepi32_ps(opponent6), f6)));
    _mm256_storeu_ps(p1 + x, _mm256_add_ps(_mm256_cvtepi32_ps(column),
                                           _mm256_mul_ps(_mm256_cvtepi32_ps(opponent2), f2)));
    _mm256_storeu_ps(p2 + x, _mm256_mul_ps(_mm256_cvtepi32_ps(intensity), f3));
    column = _mm256_add_epi32(column, columnStep);
  }
  return x;
}
#endif

// sums[i] = r0[i] + r1[i] + r2[i]: the bytes of three image rows added
// column by column (at most 765).
struct AddRows {
  static CONTOURS_INLINE void run(const unsigned char* __restrict r0,
                                  const unsigned char* __restrict r1,
                                  const unsigned char* __restrict r2,
                                  unsigned short* __restrict sums, int n) {
    int i = 0;
    for (; i + 32 <= n; i += 32)
      for (int k = 0; k < 32; ++k)
        sums[i + k] = static_cast<unsigned short>(r0[i + k] + r1[i + k] + r2[i + k]);
    for (; i < n; ++i) sums[i] = static_cast<unsigned short>(r0[i] + r1[i] + r2[i]);
  }
};

void addRows(const unsigned char* r0, const unsigned char* r1, const unsigned char* r2,
             unsigned short* sums, int n) {
  runVectorBuild<AddRows>(r0, r1, r2, sums, n);
}

// Projection factors: 1/sqrt(n) in double, rounded once to float.
struct ProjectionFactors {
  float k6 = static_cast<float>(1.0 / std::sqrt(6.0));
  float k2 = static_cast<float>(1.0 / std::sqrt(2.0));
  float k3 = static_cast<float>(1.0 / std::sqrt(3.0));
};

// One block row's surface points, from the byte sums down its three image
// rows (columnSums, 9 per block: pixel p, channel c at 3p + c). The colour
// sum of channel c over a block's 9 pixels, sum of (255 - byte), is 2295
// minus the sum of its bytes: a whole number S in 0..2295, formed exactly in
// int as the float accumulation would form it. Its mean, trunc(float(S) / 9),
// is the integer quotient S / 9 (float(S) / 9 is never within an ulp of the
// next whole number for S below 2296), which is (S * 7282) >> 16 for every
// such S. Every product and sum after it is the single float operation of
// the formula, done in lanes by the vector builds: the same bits as the
// formula one block at a time.
typedef int Ints __attribute__((vector_size(32)));
typedef unsigned short Shorts __attribute__((vector_size(16)));
CONTOURS_INLINE Shorts loadShorts(const unsigned short* p) {
  Shorts v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
typedef unsigned int Words4 __attribute__((vector_size(16)));
typedef unsigned long long Quads2 __attribute__((vector_size(16)));

// The 2295 - (byte sum) of channels 0, 1, 2 of blocks bj .. bj+7, one block
// a lane: each block's three sums are formed in the low lanes of one vector
// (cs[9b+c] + cs[9b+c+3] + cs[9b+c+6], lanes 0..2; cs is read up to 5 past
// the row's 9 * count sums), and the eight vectors' lanes 0..2 transposed.
CONTOURS_INLINE void blockSums8(const unsigned short* cs, int bj, Ints& a0, Ints& a1,
                                Ints& a2) {
  Shorts t[8];
  for (int b = 0; b < 8; ++b) {
    const unsigned short* p = cs + 9 * (bj + b);
    t[b] = (loadShorts(p) + loadShorts(p + 3)) + loadShorts(p + 6);
  }
  Words4 u[4];
  for (int k = 0; k < 4; ++k)
    u[k] = reinterpret_cast<Words4>(
        __builtin_shufflevector(t[2 * k], t[2 * k + 1], 0, 8, 1, 9, 2, 10, 3, 11));
  const Quads2 v01 = reinterpret_cast<Quads2>(__builtin_shufflevector(u[0], u[1], 0, 4, 1, 5));
  const Quads2 v23 = reinterpret_cast<Quads2>(__builtin_shufflevector(u[2], u[3], 0, 4, 1, 5));
  const Quads2 w01 = reinterpret_cast<Quads2>(__builtin_shufflevector(u[0], u[1], 2, 6, 3, 7));
  const Quads2 w23 = reinterpret_cast<Quads2>(__builtin_shufflevector(u[2], u[3], 2, 6, 3, 7));
  const Shorts s0 = reinterpret_cast<Shorts>(__builtin_shufflevector(v01, v23, 0, 2));
  const Shorts s1 = reinterpret_cast<Shorts>(__builtin_shufflevector(v01, v23, 1, 3));
  const Shorts s2 = reinterpret_cast<Shorts>(__builtin_shufflevector(w01, w23, 0, 2));
  a0 = 2295 - __builtin_convertvector(s0, Ints);
  a1 = 2295 - __builtin_convertvector(s1, Ints);
  a2 = 2295 - __builtin_convertvector(s2, Ints);
}

struct BlockSurfaceRow {
  static CONTOURS_INLINE void run(const unsigned short* __restrict cs, int count,
                                  float rowPosition, float k6, float k2, float k3,
                                  float* __restrict q0, float* __restrict q1,
                                  float* __restrict q2) {
    const Ints laneIndex = {0, 1, 2, 3, 4, 5, 6, 7};
    int bj = 0;
    for (; bj + kLanes <= count; bj += kLanes) {
      Ints a0, a1, a2;
      blockSums8(cs, bj, a0, a1, a2);
      a0 = (a0 * 7282) >> 16;
      a1 = (a1 * 7282) >> 16;
      a2 = (a2 * 7282) >> 16;
      const Ints column = bj + laneIndex;
      storeLanes(q0 + bj,
                 rowPosition + __builtin_convertvector(a1 + a2 - 2 * a0, Lanes) * k6);
      storeLanes(q1 + bj, __builtin_convertvector(60 * column, Lanes) +
                              __builtin_convertvector(a1 - a2, Lanes) * k2);
      storeLanes(q2 + bj, __builtin_convertvector(a0 + a1 + a2, Lanes) * k3);
    }
    for (; bj < count; ++bj) {
      const unsigned short* b = cs + 9 * bj;
      const int a0 = ((2295 - ((b[0] + b[3]) + b[6])) * 7282) >> 16;
      const int a1 = ((2295 - ((b[1] + b[4]) + b[7])) * 7282) >> 16;
      const int a2 = ((2295 - ((b[2] + b[5]) + b[8])) * 7282) >> 16;
      q0[bj] = rowPosition + static_cast<float>(a1 + a2 - 2 * a0) * k6;
      q1[bj] = static_cast<float>(60 * bj) + static_cast<float>(a1 - a2) * k2;
      q2[bj] = static_cast<float>(a0 + a1 + a2) * k3;
    }
  }
};

void blockSurfaceRow(const unsigned short* cs, int count, float rowPosition, float k6,
                     float k2, float k3, float* q0, float* q1, float* q2) {
  runVectorBuild<BlockSurfaceRow>(cs, count, rowPosition, k6, k2, k3, q0, q1, q2);
}

// The surface points of pixels x0 .. count-1 of image row y.
void surfacePoints(const unsigned char* bgr, int y, int x0, int count, float k6,
                   float k2, float k3, float* p0, float* p1, float* p2) {
  const float rowPosition = static_cast<float>(20 * y);
  int x = x0;
#ifdef CONTOURS_SURFACE_AVX2
  // The AVX-512 build uses the same AVX2 steps: the split into channels
  // takes 128-bit shuffles either way.
  if (activeVectorBuild() != VectorBuild::Baseline)
    x = surfaceRowAvx2(bgr, rowPosition, x0, count, k6, k2, k3, p0, p1, p2);
#endif
  for (; x < count; ++x) surfacePoint(bgr, x, rowPosition, k6, k2, k3, p0, p1, p2);
}

// processImage. Without pixelPlanes (null) the pixel surface is not kept;
// without blockPlanes (null) only the two block surface rows that the measure
// of a block row reads are kept.
void surfaceStage(const cv::Mat& image, float* blockField,
                  float* const* const* pixelPlanes, float* const* const* blockPlanes,
                  int* histogram, int H, int W, int bins) {
  const ProjectionFactors factors;
  const float k6 = factors.k6, k2 = factors.k2, k3 = factors.k3;

  const int blockRows = H / 3;
  const int blockCols = W / 3;
  // No complete block: nothing to fill (and no negative count to size with).
  if (blockRows <= 0 || blockCols <= 0) return;
  // Only block rows 0 .. blockRows-3 are measured: with fewer than three
  // block rows and no surface to keep, there is nothing to do, and an image
  // of a few very long rows is spared its row-long working arrays.
  if (blockRows < 3 && pixelPlanes == nullptr && blockPlanes == nullptr) return;

  // Byte sums down the three rows of a block row, per byte of a row, and 5
  // more that blockSurfaceRow reads past them.
  std::vector<unsigned short> columnSums(static_cast<size_t>(9) * blockCols + 5);
  std::vector<float> blockRowPair(blockPlanes == nullptr ? 6 * static_cast<size_t>(blockCols) : 0);
  auto blockRow = [&](int plane, int bi) {
    return blockPlanes != nullptr
               ? blockPlanes[plane][bi]
               : blockRowPair.data() + static_cast<size_t>((bi % 2) * 3 + plane) * blockCols;
  };
  // With no bins, no measure is counted (not even one in (-1, 0), which
  // would otherwise truncate to bin 0).
  const float binLimit = static_cast<float>(bins);
  const bool counting = bins > 0;
  const size_t countedBins = counting ? static_cast<size_t>(bins) : 0;
  std::vector<int> partial(4 * countedBins, 0);

  // A block row at a time: each image row's pixels become surface points, the
  // block's colour sums come from the same rows while they are at hand, and
  // once a block row's surface is made, the measure of the row above it.
  for (int bi = 0; bi < blockRows; ++bi) {
    if (pixelPlanes != nullptr)
      for (int y = 3 * bi; y < 3 * bi + 3; ++y)
        surfacePoints(image.ptr<unsigned char>(y), y, 0, 3 * blockCols, k6, k2, k3,
                      pixelPlanes[0][y], pixelPlanes[1][y], pixelPlanes[2][y]);
    addRows(image.ptr<unsigned char>(3 * bi), image.ptr<unsigned char>(3 * bi + 1),
            image.ptr<unsigned char>(3 * bi + 2), columnSums.data(), 9 * blockCols);
    const float rowPosition = static_cast<float>(20 * (3 * bi));
    float* q0 = blockRow(0, bi);
    float* q1 = blockRow(1, bi);
    float* q2 = blockRow(2, bi);
    blockSurfaceRow(columnSums.data(), blockCols, rowPosition, k6, k2, k3, q0, q1, q2);

    // Measure of block row j = bi - 1: forward differences to the right and
    // to row bi below, then the histogram of the row's measures.
    const int j = bi - 1;
    if (j < 0 || j >= blockRows - 2) continue;
    const float* here[3] = {blockRow(0, j), blockRow(1, j), blockRow(2, j)};
    const float* below[3] = {q0, q1, q2};
    float* fieldRow = blockField + static_cast<size_t>(j) * blockCols;
    blockMeasureRow(here, below, blockCols - 2, fieldRow);
    // Four partial counts per bin, by column modulo 4, added up at the end:
    // neighbouring blocks mostly fall into the same bin, and a single
    // counter would make each increment wait for the one before.
    if (!counting) continue;
    // Range test in float before any conversion: m may be NaN or infinite on
    // degenerate blocks. Values in (-1, 0) truncate to bin 0.
    const auto count = [&](int* counts, float m) {
      if (m > -1.0f && m < binLimit) ++counts[static_cast<int>(m)];
    };
    int* const counts0 = partial.data();
    int* const counts1 = counts0 + countedBins;
    int* const counts2 = counts1 + countedBins;
    int* const counts3 = counts2 + countedBins;
    int k = 0;
    for (; k + 4 <= blockCols - 2; k += 4) {
      count(counts0, fieldRow[k]);
      count(counts1, fieldRow[k + 1]);
      count(counts2, fieldRow[k + 2]);
      count(counts3, fieldRow[k + 3]);
    }
    for (int* counts = counts0; k < blockCols - 2; ++k, counts += countedBins)
      count(counts, fieldRow[k]);
  }
  for (size_t b = 0; b < countedBins; ++b) {
    const int count = (partial[b] + partial[countedBins + b]) +
                      (partial[2 * countedBins + b] + partial[3 * countedBins + b]);
    if (count != 0) histogram[b] += count;
  }
}

}  // namespace

void processImage(const cv::Mat& image, float* blockField,
                  float* const* const* pixelPlanes, float* const* const* blockPlanes,
                  int* histogram, int H, int W, int bins) {
  surfaceStage(image, blockField, pixelPlanes, blockPlanes, histogram, H, W, bins);
}

void processBlocks(const cv::Mat& image, float* blockField, int* histogram, int H,
                   int W, int bins) {
  surfaceStage(image, blockField, nullptr, nullptr, histogram, H, W, bins);
}

void surfaceRowPart(const cv::Mat& image, int y, int x0, int x1, float* p0, float* p1,
                    float* p2) {
  static const ProjectionFactors factors;
  surfacePoints(image.ptr<unsigned char>(y), y, x0, x1, factors.k6, factors.k2,
                factors.k3, p0, p1, p2);
}

}  // namespace contours
