#include <contours/surface.hpp>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "support/bands.hpp"
#include "support/vector_build.hpp"
#include "surface/surface_rows.hpp"

namespace contours {

namespace {

// Eight block cells side by side, one a lane.
using Lanes = Lanes8;
constexpr int kLanes = 8;

// The block measure m of a block from its surface point (here), the point to
// its right and the point below: forward differences to the right (u) and
// below (w), each times 3, then (E+G)^2 / (EG-F^2). (Every lane passes by
// reference: Clang refuses wide vectors passed by value between a function
// built for AVX-512 and one that is not, even where one is inlined.)
template <class T>
CONTOURS_INLINE void measureOf(const T (&here)[3], const T (&right)[3], const T (&below)[3],
                               T& m) {
  T w[3], u[3];
#pragma GCC unroll 3
  for (int l = 0; l < 3; ++l) {
    w[l] = (below[l] - here[l]) * 3.0f;
    u[l] = (right[l] - here[l]) * 3.0f;
  }
  const T E = (u[0] * u[0] + u[1] * u[1]) + u[2] * u[2];
  const T F = (u[0] * w[0] + u[1] * w[1]) + u[2] * w[2];
  const T G = (w[0] * w[0] + w[1] * w[1]) + w[2] * w[2];
  const T d = G * E - F * F;
  const T t = G + E;
  m = (t * t) / d;
}

// The block measure from the block surface at (j, k), the rows here (j) and
// below (j + 1).
template <class T>
CONTOURS_INLINE T blockMeasure(const float* const (&here)[3],
                               const float* const (&below)[3], int k) {
  T h[3], r[3], b[3];
#pragma GCC unroll 3
  for (int l = 0; l < 3; ++l) {
    h[l] = loadAs<T>(here[l] + k);
    r[l] = loadAs<T>(here[l] + k + 1);
    b[l] = loadAs<T>(below[l] + k);
  }
  T m;
  measureOf(h, r, b, m);
  return m;
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

// How far ahead of the bytes being read each image row is fetched: three
// rows are read at once, and the processor's own prefetching does not keep
// ahead of them.
constexpr int kPrefetchAhead = 1536;

// Asks for the line kPrefetchAhead + offset bytes past p, which may lie past
// the image (a prefetch never faults; the address is formed as an integer).
CONTOURS_INLINE void prefetchAhead(const unsigned char* p, int offset = 0) {
  __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(p) +
                                                   kPrefetchAhead + offset));
}

// sums[i] = r0[i] + r1[i] + r2[i]: the bytes of three image rows added
// column by column (at most 765).
struct AddRows {
  static CONTOURS_INLINE void run(const unsigned char* __restrict r0,
                                  const unsigned char* __restrict r1,
                                  const unsigned char* __restrict r2,
                                  unsigned short* __restrict sums, int n) {
    int i = 0;
    for (; i + 32 <= n; i += 32) {
      prefetchAhead(r0 + i);
      prefetchAhead(r1 + i);
      prefetchAhead(r2 + i);
      for (int k = 0; k < 32; ++k)
        sums[i + k] = static_cast<unsigned short>(r0[i + k] + r1[i + k] + r2[i + k]);
    }
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

// The surface point of block bj from its means a (the lanes below take the
// same steps, lane by lane).
CONTOURS_INLINE void blockSurfacePoint(const int (&a)[3], int bj, float rowPosition,
                                       float k6, float k2, float k3, float* q0, float* q1,
                                       float* q2) {
  q0[bj] = rowPosition + static_cast<float>(a[1] + a[2] - 2 * a[0]) * k6;
  q1[bj] = static_cast<float>(60 * bj) + static_cast<float>(a[1] - a[2]) * k2;
  q2[bj] = static_cast<float>(a[0] + a[1] + a[2]) * k3;
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
      int a[3];
      for (int c = 0; c < 3; ++c) a[c] = ((2295 - ((b[c] + b[c + 3]) + b[c + 6])) * 7282) >> 16;
      blockSurfacePoint(a, bj, rowPosition, k6, k2, k3, q0, q1, q2);
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

// The histogram counts of one band, kept apart from the histogram until the
// band ends: kTables tables of bins + 1 counters. A measure is counted in the
// table of its column modulo kTables (neighbouring blocks mostly fall into
// the same bin, and a single counter would make each increment wait for the
// one before; which table counts it does not matter), in the counter of its
// bin, or in the last counter, which is never added up, when it falls in no
// bin.
class PartialCounts {
 public:
  static constexpr int kTables = 4;

  explicit PartialCounts(int bins)
      : bins_(bins > 0 ? bins : 0),
        binLimit_(static_cast<float>(bins_)),
        stride_(static_cast<size_t>(bins_) + 1),
        counts_(kTables * stride_, 0) {}

  // With no bins, no measure is counted (not even one in (-1, 0), which
  // would otherwise truncate to bin 0).
  bool counting() const { return bins_ > 0; }
  int bins() const { return bins_; }
  float binLimit() const { return binLimit_; }
  int* table(int t) { return counts_.data() + t * stride_; }

  // The counter of measure m: bin trunc(m) when -1 < m < bins, tested in
  // float before any conversion (m may be NaN or infinite on degenerate
  // blocks; values in (-1, 0) truncate to bin 0), the spare one otherwise.
  int slotOf(float m) const {
    return m > -1.0f && m < binLimit_ ? static_cast<int>(m) : bins_;
  }

  // Adds the measures of columns 0 .. count-1 of a field row.
  void countRow(const float* fieldRow, int count) {
    if (!counting()) return;
    int* const t0 = table(0);
    int* const t1 = table(1);
    int* const t2 = table(2);
    int* const t3 = table(3);
    int k = 0;
    for (; k + 4 <= count; k += 4) {
      ++t0[slotOf(fieldRow[k])];
      ++t1[slotOf(fieldRow[k + 1])];
      ++t2[slotOf(fieldRow[k + 2])];
      ++t3[slotOf(fieldRow[k + 3])];
    }
    for (; k < count; ++k) ++table(k % kTables)[slotOf(fieldRow[k])];
  }

  // Adds these counts to histogram's bins (whole numbers: exact in any
  // order).
  void addTo(int* histogram) const {
    for (size_t b = 0; b < static_cast<size_t>(bins_); ++b) {
      int count = 0;
      for (int t = 0; t < kTables; ++t) count += counts_[t * stride_ + b];
      if (count != 0) histogram[b] += count;
    }
  }

 private:
  int bins_;
  float binLimit_;
  size_t stride_;
  std::vector<int> counts_;
};

// One block row's work: its block surface row, made from its three image
// rows, and, when here is given, the measure of the block row above (whose
// surface row here is) into fieldRow, counted into counts.
struct BlockRowWork {
  const unsigned char* image[3];
  int count;  // blocks in a row
  float rowPosition;
  float* q[3];
  const float* here[3];
  float* fieldRow;
  PartialCounts* counts;
};

// The channel sums of block b from its 27 bytes (row r, pixel p, channel c
// at image[r][9b + 3p + c]), as 2295 - (sum of bytes), and their means.
CONTOURS_INLINE void blockMeans(const unsigned char* const (&image)[3], int b, int (&a)[3]) {
  for (int c = 0; c < 3; ++c) {
    int sum = 0;
    for (int r = 0; r < 3; ++r)
      for (int p = 0; p < 3; ++p) sum += image[r][9 * b + 3 * p + c];
    a[c] = ((2295 - sum) * 7282) >> 16;
  }
}

#ifdef CONTOURS_VECTOR_BUILDS
// The block row in one pass over its image bytes, sixteen blocks at a time,
// on AVX-512 processors with byte permutes (VBMI) and byte dot products
// (VNNI). A block's channel sums are formed straight from the bytes, with no
// column sums in between: a permute gathers the three bytes of one block
// channel in one image row into a 32-bit lane, and a dot product adds them,
// weighed -1, to the lane (which starts at 2295); three image rows, then the
// lanes are sorted into one vector per channel. The sums are whole numbers,
// the same however they are formed; every float operation after them is the
// one blockSurfaceRow and blockMeasure do, lane by lane. The surface points
// just made are measured against the row above while they are in registers,
// and the measures' counters are found in lanes.
#define CONTOURS_SURFACE_BYTE_LANES 1
#define CONTOURS_TARGET_BYTE_LANES \
  __attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vnni")))

typedef int Ints16 __attribute__((vector_size(64)));

// Sixteen floats loaded and stored within this build (see measureOf).
CONTOURS_TARGET_BYTE_LANES CONTOURS_INLINE Lanes16 load16(const float* p) {
  Lanes16 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
CONTOURS_TARGET_BYTE_LANES CONTOURS_INLINE void store16(float* p, Lanes16 v) {
  std::memcpy(p, &v, sizeof v);
}

// Whether the block rows take blockRowBytes: in the AVX-512 build, on a
// processor that has its instructions (others take blockRowByPasses).
bool byteLanesRun() {
  static const bool runs = activeVectorBuild() == VectorBuild::Avx512 &&
                           __builtin_cpu_supports("avx512bw") &&
                           __builtin_cpu_supports("avx512vbmi") &&
                           __builtin_cpu_supports("avx512vnni");
  return runs;
}

// The selections of sixteen blocks' sums from their 144 bytes in an image
// row. The 48 pairs (block b, channel c), pair 3b + c, are formed in three
// thirds of sixteen lanes; lane i of third h gathers the bytes of pair
// 16h + i, 9b + c + {0, 3, 6}, and a fourth weighed 0. Third 0 (blocks
// 0..5) takes them from the 64 bytes at 0, third 1 (blocks 5..10) from the
// 128 at 0, third 2 (blocks 10..15) from the 64 at 80: no load reads past
// the sixteenth block. Channel c of block b is then pair 3b + c: taken from
// thirds 0 and 1 by early[c], and from third 2 by late[c] where fromLate[c]
// is set.
struct ByteSelections {
  alignas(64) unsigned char pairBytes[3][64];
  alignas(64) signed char weight[64];
  alignas(64) int early[3][16];
  alignas(64) int late[3][16];
  unsigned short fromLate[3];
};

constexpr ByteSelections makeByteSelections() {
  ByteSelections s{};
  for (int h = 0; h < 3; ++h)
    for (int i = 0; i < 16; ++i) {
      const int pair = 16 * h + i, b = pair / 3, c = pair % 3;
      for (int k = 0; k < 3; ++k)
        s.pairBytes[h][4 * i + k] =
            static_cast<unsigned char>(9 * b + c + 3 * k - (h == 2 ? 80 : 0));
    }
  for (int i = 0; i < 64; ++i) s.weight[i] = i % 4 == 3 ? 0 : -1;
  for (int c = 0; c < 3; ++c)
    for (int b = 0; b < 16; ++b) {
      const int pair = 3 * b + c;
      s.early[c][b] = pair < 32 ? pair : 0;
      s.late[c][b] = pair < 32 ? 0 : pair - 32;
      if (pair >= 32) s.fromLate[c] = static_cast<unsigned short>(s.fromLate[c] | 1u << b);
    }
  return s;
}
constexpr ByteSelections kByteSelections = makeByteSelections();

// The bytes of v that index selects (_mm512_permutexvar_epi8, written with
// an all-ones mask, which GCC 12's header does not warn of).
CONTOURS_TARGET_BYTE_LANES CONTOURS_INLINE __m512i bytesOf(__m512i index, __m512i v) {
  return _mm512_maskz_permutexvar_epi8(~__mmask64{0}, index, v);
}

// 2295 - (byte sum) of channels 0, 1, 2 of blocks bj .. bj+15, one block a
// lane.
CONTOURS_TARGET_BYTE_LANES CONTOURS_INLINE void byteSums16(
    const unsigned char* const (&image)[3], int bj, Ints16 (&a)[3]) {
  const ByteSelections& s = kByteSelections;
  const __m512i weight = _mm512_load_si512(s.weight);
  __m512i thirds[3];
#pragma GCC unroll 3
  for (int h = 0; h < 3; ++h) thirds[h] = _mm512_set1_epi32(2295);
#pragma GCC unroll 3
  for (int r = 0; r < 3; ++r) {
    const unsigned char* p = image[r] + 9 * bj;
    // Fetched ahead a line at a time (the group reads 144 bytes); without
    // it, images that are not in the caches take a third longer.
#pragma GCC unroll 3
    for (int line = 0; line < 3; ++line) prefetchAhead(p, 64 * line);
    const __m512i first = _mm512_loadu_si512(p);
    const __m512i second = _mm512_loadu_si512(p + 64);
    const __m512i last = _mm512_loadu_si512(p + 80);
    thirds[0] = _mm512_dpbusd_epi32(
        thirds[0], bytesOf(_mm512_load_si512(s.pairBytes[0]), first), weight);
    thirds[1] = _mm512_dpbusd_epi32(
        thirds[1],
        _mm512_permutex2var_epi8(first, _mm512_load_si512(s.pairBytes[1]), second),
        weight);
    thirds[2] = _mm512_dpbusd_epi32(
        thirds[2], bytesOf(_mm512_load_si512(s.pairBytes[2]), last), weight);
  }
#pragma GCC unroll 3
  for (int c = 0; c < 3; ++c) {
    const __m512i early =
        _mm512_permutex2var_epi32(thirds[0], _mm512_load_si512(s.early[c]), thirds[1]);
    a[c] = reinterpret_cast<Ints16>(_mm512_mask_permutexvar_epi32(
        early, s.fromLate[c], _mm512_load_si512(s.late[c]), thirds[2]));
  }
}

CONTOURS_TARGET_BYTE_LANES void blockRowBytes(const BlockRowWork& work, float k6, float k2,
                                              float k3) {
  const Ints16 laneIndex = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  const int count = work.count;
  const bool measuring = work.here[0] != nullptr;
  PartialCounts& counts = *work.counts;
  const bool counting = measuring && counts.counting();
  const float binLimit = counts.binLimit();
  const int spare = counts.bins();
  int* tables[PartialCounts::kTables];
  for (int t = 0; t < PartialCounts::kTables; ++t) tables[t] = counts.table(t);

  // Groups of sixteen blocks; while measuring, only those whose measures
  // are all in the row (block bj+15 is measured when bj+15 < count-2).
  const int groupEnd = measuring ? count - 18 : count - 16;
  int bj = 0;
  for (; bj <= groupEnd; bj += 16) {
    Ints16 a[3];
    byteSums16(work.image, bj, a);
#pragma GCC unroll 3
    for (int c = 0; c < 3; ++c) a[c] = (a[c] * 7282) >> 16;
    const Ints16 column = bj + laneIndex;
    const Lanes16 below[3] = {
        work.rowPosition + __builtin_convertvector(a[1] + a[2] - 2 * a[0], Lanes16) * k6,
        __builtin_convertvector(60 * column, Lanes16) +
            __builtin_convertvector(a[1] - a[2], Lanes16) * k2,
        __builtin_convertvector(a[0] + a[1] + a[2], Lanes16) * k3};
#pragma GCC unroll 3
    for (int l = 0; l < 3; ++l) store16(work.q[l] + bj, below[l]);
    if (!measuring) continue;
    Lanes16 here[3], right[3];
#pragma GCC unroll 3
    for (int l = 0; l < 3; ++l) {
      here[l] = load16(work.here[l] + bj);
      right[l] = load16(work.here[l] + bj + 1);
    }
    Lanes16 m;
    measureOf(here, right, below, m);
    store16(work.fieldRow + bj, m);
    if (!counting) continue;
    // counts.slotOf in lanes: m where -1 < m < bins (compared in float, and
    // +0 converted elsewhere, so that every conversion is in range), the
    // spare counter elsewhere.
    const Ints16 inBin = (m > -1.0f) & (m < binLimit);
    const Lanes16 kept = reinterpret_cast<Lanes16>(reinterpret_cast<Ints16>(m) & inBin);
    const Ints16 slots = (__builtin_convertvector(kept, Ints16) & inBin) | (spare & ~inBin);
    alignas(64) int slot[16];
    std::memcpy(slot, &slots, sizeof slot);
    // Sixteen blocks in one bin, as over a flat area, take one addition.
    if (_mm512_cmpeq_epi32_mask(reinterpret_cast<__m512i>(slots),
                                _mm512_set1_epi32(slot[0])) == 0xFFFF) {
      tables[0][slot[0]] += 16;
      continue;
    }
#pragma GCC unroll 16
    for (int l = 0; l < 16; ++l) ++tables[l % PartialCounts::kTables][slot[l]];
  }
  // The rest of the row one block at a time, then the rest of its measures.
  const int measuredEnd = measuring ? bj : 0;
  for (; bj < count; ++bj) {
    int a[3];
    blockMeans(work.image, bj, a);
    blockSurfacePoint(a, bj, work.rowPosition, k6, k2, k3, work.q[0], work.q[1], work.q[2]);
  }
  if (!measuring) return;
  const float* const below[3] = {work.q[0], work.q[1], work.q[2]};
  for (int k = measuredEnd; k < count - 2; ++k) {
    const float m = blockMeasure<float>(work.here, below, k);
    work.fieldRow[k] = m;
    if (counting) ++tables[k % PartialCounts::kTables][counts.slotOf(m)];
  }
}
#endif

// The block row in passes: the byte sums down its three image rows, the
// surface points from them, the measure of the row above, its counts.
void blockRowByPasses(const BlockRowWork& work, unsigned short* columnSums, float k6,
                      float k2, float k3) {
  addRows(work.image[0], work.image[1], work.image[2], columnSums, 9 * work.count);
  blockSurfaceRow(columnSums, work.count, work.rowPosition, k6, k2, k3, work.q[0],
                  work.q[1], work.q[2]);
  if (work.here[0] == nullptr) return;
  const float* const below[3] = {work.q[0], work.q[1], work.q[2]};
  blockMeasureRow(work.here, below, work.count - 2, work.fieldRow);
  work.counts->countRow(work.fieldRow, work.count - 2);
}

// Block surface rows firstRow .. endRow-1, and the measure of every block row
// j from firstRow to endRow-2 below measuredRows: the work of one band, which
// reads image rows 3*firstRow .. 3*endRow-1 and writes only those block field
// rows (and the planes' rows of its block rows, when given). Without
// pixelPlanes (null) the pixel surface is not kept; without blockPlanes
// (null) only the two block surface rows that the measure of a block row
// reads are kept.
void surfaceBand(const cv::Mat& image, int firstRow, int endRow, int blockCols,
                 int measuredRows, float* blockField, float* const* const* pixelPlanes,
                 float* const* const* blockPlanes, PartialCounts& counts) {
  const ProjectionFactors factors;
  const float k6 = factors.k6, k2 = factors.k2, k3 = factors.k3;
#ifdef CONTOURS_SURFACE_BYTE_LANES
  const bool byteLanes = byteLanesRun();
#else
  const bool byteLanes = false;
#endif
  // Byte sums down the three rows of a block row, per byte of a row, and 5
  // more that blockSurfaceRow reads past them.
  std::vector<unsigned short> columnSums(byteLanes ? 0 : 9 * static_cast<size_t>(blockCols) + 5);
  std::vector<float> blockRowPair(blockPlanes == nullptr ? 6 * static_cast<size_t>(blockCols) : 0);
  auto blockRow = [&](int plane, int bi) {
    return blockPlanes != nullptr
               ? blockPlanes[plane][bi]
               : blockRowPair.data() + static_cast<size_t>((bi % 2) * 3 + plane) * blockCols;
  };

  // A block row at a time: each image row's pixels become surface points, the
  // block's colour sums come from the same rows while they are at hand, and
  // once a block row's surface is made, the measure of the row above it.
  for (int bi = firstRow; bi < endRow; ++bi) {
    if (pixelPlanes != nullptr)
      for (int y = 3 * bi; y < 3 * bi + 3; ++y)
        surfacePoints(image.ptr<unsigned char>(y), y, 0, 3 * blockCols, k6, k2, k3,
                      pixelPlanes[0][y], pixelPlanes[1][y], pixelPlanes[2][y]);
    const int j = bi - 1;
    const bool measuring = j >= firstRow && j < measuredRows;
    BlockRowWork work = {
        {image.ptr<unsigned char>(3 * bi), image.ptr<unsigned char>(3 * bi + 1),
         image.ptr<unsigned char>(3 * bi + 2)},
        blockCols,
        static_cast<float>(20 * (3 * bi)),
        {blockRow(0, bi), blockRow(1, bi), blockRow(2, bi)},
        {measuring ? blockRow(0, j) : nullptr, measuring ? blockRow(1, j) : nullptr,
         measuring ? blockRow(2, j) : nullptr},
        measuring ? blockField + static_cast<size_t>(j) * blockCols : nullptr,
        &counts};
#ifdef CONTOURS_SURFACE_BYTE_LANES
    if (byteLanes) {
      blockRowBytes(work, k6, k2, k3);
      continue;
    }
#endif
    blockRowByPasses(work, columnSums.data(), k6, k2, k3);
  }
}

// processImage, and processBlocks in bands (both planes null).
void surfaceStage(const cv::Mat& image, float* blockField,
                  float* const* const* pixelPlanes, float* const* const* blockPlanes,
                  int* histogram, int H, int W, int bins, const Split& split) {
  const int blockRows = H / 3;
  const int blockCols = W / 3;
  // No complete block: nothing to fill (and no negative count to size with).
  if (blockRows <= 0 || blockCols <= 0) return;
  // Only block rows 0 .. blockRows-3 are measured.
  const int measuredRows = blockRows > 2 ? blockRows - 2 : 0;
  if (pixelPlanes != nullptr || blockPlanes != nullptr) {
    PartialCounts counts(bins);
    surfaceBand(image, 0, blockRows, blockCols, measuredRows, blockField, pixelPlanes,
                blockPlanes, counts);
    counts.addTo(histogram);
    return;
  }
  // With no surface to keep and no row to measure, there is nothing to do,
  // and an image of a few very long rows is spared its row-long working
  // arrays. Band k measures block rows span.first .. span.end-1, and makes
  // the block surface rows they read: span.first .. span.end.
  if (measuredRows == 0) return;
  const Split bands = split.atMost(measuredRows);
  std::vector<PartialCounts> counts(static_cast<size_t>(bands.bands), PartialCounts(bins));
  forEachBand(bands, [&](int k) {
    const BandSpan span = bandSpan(measuredRows, bands.bands, k);
    if (span.first < span.end)
      surfaceBand(image, span.first, span.end + 1, blockCols, measuredRows, blockField,
                  nullptr, nullptr, counts[static_cast<size_t>(k)]);
  });
  for (const PartialCounts& band : counts) band.addTo(histogram);
}

}  // namespace

void processImage(const cv::Mat& image, float* blockField,
                  float* const* const* pixelPlanes, float* const* const* blockPlanes,
                  int* histogram, int H, int W, int bins) {
  surfaceStage(image, blockField, pixelPlanes, blockPlanes, histogram, H, W, bins, 1);
}

void processBlocks(const cv::Mat& image, float* blockField, int* histogram, int H,
                   int W, int bins, const Split& bands) {
  surfaceStage(image, blockField, nullptr, nullptr, histogram, H, W, bins, bands);
}

void surfaceRowPart(const cv::Mat& image, int y, int x0, int x1, float* p0, float* p1,
                    float* p2) {
  static const ProjectionFactors factors;
  surfacePoints(image.ptr<unsigned char>(y), y, x0, x1, factors.k6, factors.k2,
                factors.k3, p0, p1, p2);
}

}  // namespace contours
