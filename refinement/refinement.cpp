#include "refinement.hpp"

#include "dimension/computed_blocks.hpp"
#include "refinement/fine_stage.hpp"
#include "support/vector_build.hpp"
#include "surface/surface_rows.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace contours {

namespace {

// Sixteen pixels side by side, one a lane.
using Lanes = Lanes16;
constexpr int kLanes = 16;

// (E+G)^2 / (EG-F^2) of the tangents u and w, E = u.u, F = u.w, G = w.w.
template <class T>
CONTOURS_INLINE T measureOfTangents(T u0, T u1, T u2, T w0, T w1, T w2) {
  const T E = (u0 * u0 + u1 * u1) + u2 * u2;
  const T F = (u0 * w0 + u1 * w1) + u2 * w2;
  const T G = (w0 * w0 + w1 * w1) + w2 * w2;
  const T d = G * E - F * F;
  const T t = G + E;
  return (t * t) / d;
}

// The measure of one pixel for 3x3 masks, in the order of
// preparingFineContours: for each tap, row by row, u_p += P_p * a, then
// w_p += P_p * b; then the metric and (E+G)^2 / (EG-F^2).
template <class T>
CONTOURS_INLINE T fineMeasure(const float* const (&rows)[3][3], int x,
                              const float (&a)[9], const float (&b)[9]) {
  T u0 = T(), u1 = T(), u2 = T(), w0 = T(), w1 = T(), w2 = T();
#pragma GCC unroll 3
  for (int k = 0; k < 3; ++k) {
#pragma GCC unroll 3
    for (int l = 0; l < 3; ++l) {
      const int x1 = x + l - 1;
      const T p0 = loadAs<T>(rows[0][k] + x1);
      const T p1 = loadAs<T>(rows[1][k] + x1);
      const T p2 = loadAs<T>(rows[2][k] + x1);
      const float ak = a[k * 3 + l], bk = b[k * 3 + l];
      u0 = p0 * ak + u0;
      u1 = p1 * ak + u1;
      u2 = p2 * ak + u2;
      w0 = p0 * bk + w0;
      w1 = p1 * bk + w1;
      w2 = p2 * bk + w2;
    }
  }
  return measureOfTangents(u0, u1, u2, w0, w1, w2);
}

// The tap values of the derivative pair: d1 has rows (-e, 0, e), (-q, 0, q),
// (-e, 0, e) and d2 is its transpose.
constexpr float kEdgeTap = 0.1875f, kMiddleTap = 0.375f;

// The fine measure of one pixel for exactly the derivative pair, on a finite
// surface, giving the bits of fineMeasure.
//
// The terms of the taps where the masks are 0 (the middle column of d1, the
// middle row of d2) are left out. That is exact on a finite surface: the
// product is then a zero, and adding a zero leaves an accumulator unchanged
// unless the accumulator is -0, which it never is: it starts at +0, and a sum
// is -0 only when both addends are.
//
// Each other tap value is +-e or +-q, and the taps of d1 and d2 meet on the
// four corner samples, so the product of a sample with e or q is formed once
// and serves both tangents: P * (-c) is exactly -(P * c) (rounding is
// symmetric), and u + -(x) is exactly u - x. The sums are then those of
// fineMeasure without the zero taps, term by term and in the same order. The
// first tap of both masks is -e at the top-left sample, so u_p and w_p start
// from one value.
template <class T>
CONTOURS_INLINE T fineMeasureDerivativePair(const float* const (&rows)[3][3], int x) {
  T u[3], w[3];
#pragma GCC unroll 3
  for (int p = 0; p < 3; ++p) {
    const float* const above = rows[p][0];
    const float* const here = rows[p][1];
    const float* const below = rows[p][2];
    const T eTopLeft = loadAs<T>(above + x - 1) * kEdgeTap;
    const T eTopRight = loadAs<T>(above + x + 1) * kEdgeTap;
    const T eBottomLeft = loadAs<T>(below + x - 1) * kEdgeTap;
    const T eBottomRight = loadAs<T>(below + x + 1) * kEdgeTap;
    const T qTop = loadAs<T>(above + x) * kMiddleTap;
    const T qLeft = loadAs<T>(here + x - 1) * kMiddleTap;
    const T qRight = loadAs<T>(here + x + 1) * kMiddleTap;
    const T qBottom = loadAs<T>(below + x) * kMiddleTap;
    const T first = T() - eTopLeft;
    // Taps of d1 in row-major order, the middle column left out.
    T up = first + eTopRight;
    up = up - qLeft;
    up = up + qRight;
    up = up - eBottomLeft;
    up = up + eBottomRight;
    // Taps of d2 in row-major order, the middle row left out.
    T wp = first - qTop;
    wp = wp - eTopRight;
    wp = wp + eBottomLeft;
    wp = wp + qBottom;
    wp = wp + eBottomRight;
    u[p] = up;
    w[p] = wp;
  }
  return measureOfTangents(u[0], u[1], u[2], w[0], w[1], w[2]);
}

// Fills field cells x0 .. x1-1 of a pixel row with pixels.at<T>(x), the
// measures of the pixels x .. x+lanes-1: the pixels are independent, so they
// are computed sixteen at a time, one per lane. W is the length of a surface
// row, which bounds the columns that may be read.
template <class Pixels>
CONTOURS_INLINE void measureRun(const Pixels& pixels, int x0, int x1, int W,
                                float* fieldRow) {
  int x = x0;
  for (; x + kLanes <= x1; x += kLanes)
    storeLanes(fieldRow + x, pixels.template at<Lanes>(x));
  if (x == x1) return;
  if (x1 - x0 >= kLanes) {
    // The last sixteen cells of the run again: those already written get the
    // same values once more.
    storeLanes(fieldRow + x1 - kLanes, pixels.template at<Lanes>(x1 - kLanes));
  } else if (x + kLanes < W) {
    // A short run: a full vector whose samples stay inside the rows, of which
    // only the run's cells are kept.
    float cells[kLanes];
    storeLanes(cells, pixels.template at<Lanes>(x));
    for (int i = 0; i < x1 - x; ++i) fieldRow[x + i] = cells[i];
  } else {
    for (; x < x1; ++x) fieldRow[x] = pixels.template at<float>(x);
  }
}

// Pixels of surface row y with any 3x3 masks.
struct MaskedPixels {
  const float* rows[3][3];
  float a[9], b[9];

  CONTOURS_INLINE MaskedPixels(float*** pixelPlanes, const float* mask1,
                               const float* mask2, int y) {
    for (int k = 0; k < 9; ++k) {
      a[k] = mask1[k];
      b[k] = mask2[k];
    }
    for (int p = 0; p < 3; ++p)
      for (int k = 0; k < 3; ++k) rows[p][k] = pixelPlanes[p][y + k - 1];
  }
  template <class T>
  CONTOURS_INLINE T at(int x) const {
    return fineMeasure<T>(rows, x, a, b);
  }
};

// Pixels of surface row y with exactly the derivative pair.
struct DerivativePairPixels {
  const float* rows[3][3];

  CONTOURS_INLINE DerivativePairPixels(float*** pixelPlanes, int y) {
    for (int p = 0; p < 3; ++p)
      for (int k = 0; k < 3; ++k) rows[p][k] = pixelPlanes[p][y + k - 1];
  }
  template <class T>
  CONTOURS_INLINE T at(int x) const {
    return fineMeasureDerivativePair<T>(rows, x);
  }
};

// A run of a pixel row, Pixels made from the arguments after the run's
// bounds and field row.
template <class Pixels>
struct MeasureRun {
  template <class... A>
  static CONTOURS_INLINE void run(int x0, int x1, int W, float* fieldRow, A&&... a) {
    measureRun(Pixels(std::forward<A>(a)...), x0, x1, W, fieldRow);
  }
};

// Any 3x3 masks, any surface values.
void fineMeasureRowAnyMasks(float*** pixelPlanes, const float* mask1,
                            const float* mask2, int y, int x0, int x1, int W,
                            float* fieldRow) {
  runVectorBuild<MeasureRun<MaskedPixels>>(x0, x1, W, fieldRow, pixelPlanes, mask1,
                                           mask2, y);
}

// Exactly the derivative pair d1, d2, on a finite surface.
void fineMeasureRowDerivativePair(float*** pixelPlanes, int y, int x0, int x1, int W,
                                  float* fieldRow) {
  runVectorBuild<MeasureRun<DerivativePairPixels>>(x0, x1, W, fieldRow, pixelPlanes, y);
}

// True when mask1 is exactly d1 = [-e 0 e; -q 0 q; -e 0 e] and mask2 exactly
// its transpose, bit for bit (zeros positive).
bool isDerivativePair(const float* mask1, const float* mask2) {
  const float e = kEdgeTap, q = kMiddleTap;
  const float d1[9] = {-e, 0.0f, e, -q, 0.0f, q, -e, 0.0f, e};
  const float d2[9] = {-e, -q, -e, 0.0f, 0.0f, 0.0f, e, q, e};
  return std::memcmp(mask1, d1, sizeof d1) == 0 && std::memcmp(mask2, d2, sizeof d2) == 0;
}

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

// Eight bytes as a word, for steps done eight bytes at a time.
std::uint64_t loadWord(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void storeWord(unsigned char* p, std::uint64_t v) { std::memcpy(p, &v, sizeof v); }

// to[i] = the AND of rows[r][i] over the count rows, for i < n.
void andRows(unsigned char* to, const unsigned char* const* rows, int count, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t a = loadWord(rows[0] + i);
    for (int r = 1; r < count; ++r) a &= loadWord(rows[r] + i);
    storeWord(to + i, a);
  }
  for (; i < n; ++i) {
    unsigned char a = rows[0][i];
    for (int r = 1; r < count; ++r) a &= rows[r][i];
    to[i] = a;
  }
}

// near[j] = NOT(from[j-1] AND from[j] AND from[j+1]) for j in [1, n-1).
void nearBytes(unsigned char* near, const unsigned char* from, size_t n) {
  size_t j = 1;
  for (; j + 8 < n; j += 8)
    storeWord(near + j, ~(loadWord(from + j - 1) & loadWord(from + j) & loadWord(from + j + 1)));
  for (; j + 1 < n; ++j)
    near[j] = static_cast<unsigned char>(~(from[j - 1] & from[j] & from[j + 1]));
}

// Bit j % 64 of bits[j / 64] is set exactly when near[j] is not 0, for
// j < n; the bits of the last word past n are 0.
void nearBits(std::uint64_t* bits, const unsigned char* near, int n) {
  int j = 0;
#ifdef __SSE2__
  for (; j + 64 <= n; j += 64) {
    std::uint64_t word = 0;
    for (int k = 0; k < 64; k += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(near + j + k));
      const unsigned zero =
          static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
      word |= static_cast<std::uint64_t>(~zero & 0xffffu) << k;
    }
    bits[j / 64] = word;
  }
#endif
  for (; j < n; j += 64) {
    std::uint64_t word = 0;
    for (int k = 0; k < 64 && j + k < n; ++k)
      word |= static_cast<std::uint64_t>(near[j + k] != 0) << k;
    bits[j / 64] = word;
  }
}

// The first j in [from, n) whose bit in bits is set (or, with set false,
// clear), or n.
CONTOURS_INLINE int nextBit(const std::uint64_t* bits, int from, int n, bool set) {
  if (from >= n) return n;
  const std::uint64_t flip = set ? 0 : ~std::uint64_t{0};
  int w = from / 64;
  std::uint64_t word = (bits[w] ^ flip) & (~std::uint64_t{0} << (from % 64));
  while (word == 0) {
    if (++w * 64 >= n) return n;
    word = bits[w] ^ flip;
  }
  return std::min(n, w * 64 + __builtin_ctzll(word));
}

// The fine stage for 3x3 masks. prepareRows(bi, runs) is called before the
// runs of blocks of block row bi are computed; for each run, the surface rows
// 3bi-1 .. 3bi+3 must be readable in columns 3*first-1 .. 3*end from then
// until the next call. measureRow(y, x0, x1, fieldRow) fills cells x0 .. x1-1
// of pixel row y. rowsFinal(r) is called once the field rows below r will not
// be written again. computed, when not null, gets every run of blocks computed.
// The field row of pixel row y is fieldRow(y); rowsDone(bi, runs) is called
// once the runs of block row bi are computed, before rowsFinal. freshRows
// says that every field cell of a block row is +0 when the row starts (as in
// a scratch cleared for each block row), so that no block there has been
// computed and only the candidates decide; the runs given to prepareRows and
// rowsDone may then span short gaps whose cells are +0.
template <class FieldRow, class PrepareRows, class MeasureRow, class RowsDone,
          class RowsFinal>
void fineStage(FieldRow fieldRow, const unsigned char* blockMask, int blockRows,
               int blockCols, PrepareRows prepareRows, MeasureRow measureRow,
               RowsDone rowsDone, RowsFinal rowsFinal, ComputedBlocks* computed,
               bool freshRows = false) {
  // A block's cells depend on the surface and the masks only, and only its own
  // computation changes its first cell. Visiting the candidates one by one and
  // computing each neighbour whose first cell is still 0 therefore gives the
  // same field as computing, once, every block of the union of the candidates'
  // neighbourhoods whose first cell is 0 on entry. That union is found row of
  // blocks by row of blocks, and its runs of adjacent blocks are computed a
  // whole pixel row at a time.
  if (blockRows < 5 || blockCols < 5) return;
  //
  // A byte is 255 only when all its bits are set, so the AND of mask bytes is
  // 255 exactly when every one of them is 255: noCandidate[j] is 255 exactly
  // when no candidate lies in column j, rows bi-1 .. bi+1. Columns outside the
  // candidates' range stay 255.
  // near[bj] is not 0 exactly when a candidate lies in columns bj-1 .. bj+1
  // of those rows; near[0] and near[blockCols-1] stay 0.
  std::vector<unsigned char> noCandidate(static_cast<size_t>(blockCols), 255);
  std::vector<unsigned char> nearCandidate(static_cast<size_t>(blockCols), 0);
  std::vector<std::uint64_t> nearWords(static_cast<size_t>(blockCols + 63) / 64);
  const size_t candidateColumns = static_cast<size_t>(blockCols - 4);
  std::vector<BlockSpan> runs, gaps;
  // On fresh rows, runs at most kBridgedGap blocks apart are computed as one,
  // their gap's cells set back to +0 afterwards: the measure of a few blocks
  // costs less than a run's own steps (its calls, its last vector, its
  // stretch of ranks and of the summary) where the runs are short.
  constexpr int kBridgedGap = 4;
  for (int bi = 1; bi <= blockRows - 2; ++bi) {
    const unsigned char* maskRows[3] = {};
    int maskRowCount = 0;
    for (int i = std::max(2, bi - 1); i <= std::min(blockRows - 3, bi + 1); ++i)
      maskRows[maskRowCount++] = blockMask + static_cast<size_t>(i) * blockCols + 2;
    andRows(noCandidate.data() + 2, maskRows, maskRowCount, candidateColumns);
    nearBytes(nearCandidate.data(), noCandidate.data(), static_cast<size_t>(blockCols));
    const unsigned char* const near = nearCandidate.data();
    const float* markerRow = fieldRow(3 * bi);
    auto due = [&](int bj) { return near[bj] != 0 && markerRow[3 * bj] == 0.0f; };
    // Computing a run writes only its own blocks' cells, so the runs of a
    // block row may all be found before any is computed.
    runs.clear();
    gaps.clear();
    if (freshRows) {
      // The runs are the stretches of near bytes that are not 0, found as
      // stretches of set bits; gaps bridged are kept to be cleared.
      nearBits(nearWords.data(), near, blockCols);
      for (int bj = 1;;) {
        const int first = nextBit(nearWords.data(), bj, blockCols, true);
        if (first >= blockCols) break;
        bj = nextBit(nearWords.data(), first, blockCols, false);  // near[blockCols-1] is 0
        if (!runs.empty() && first - runs.back().end <= kBridgedGap) {
          BlockSpan& gap = gaps.emplace_back();
          gap.first = runs.back().end;
          gap.end = first;
          runs.back().end = bj;
        } else {
          BlockSpan& run = runs.emplace_back();
          run.first = first;
          run.end = bj;
        }
      }
    } else {
      for (int bj = 1; bj <= blockCols - 2;) {
        // Eight blocks with no candidate near are passed over at once.
        if (bj + 8 <= blockCols && loadWord(near + bj) == 0) {
          bj += 8;
          continue;
        }
        if (!due(bj)) {
          ++bj;
          continue;
        }
        const int first = bj;
        while (bj <= blockCols - 2 && due(bj)) ++bj;
        BlockSpan& run = runs.emplace_back();
        run.first = first;
        run.end = bj;
      }
    }
    if (runs.empty()) {
      rowsFinal(3 * bi + 3);
      continue;
    }
    prepareRows(bi, runs);
    for (const BlockSpan& run : runs) {
      for (int y = 3 * bi; y < 3 * bi + 3; ++y)
        measureRow(y, 3 * run.first, 3 * run.end, fieldRow(y));
      if (computed != nullptr) computed->add(bi, run.first, run.end);
    }
    // Cells of bridged gaps were never to be computed.
    for (const BlockSpan& gap : gaps)
      for (int y = 3 * bi; y < 3 * bi + 3; ++y)
        std::fill(fieldRow(y) + 3 * gap.first, fieldRow(y) + 3 * gap.end, 0.0f);
    rowsDone(bi, runs);
    // Later block rows write pixel rows from 3bi+3 on only.
    rowsFinal(3 * bi + 3);
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
  if (n != 3) {
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
    return;
  }

  // The surface may hold anything here (an infinity times a zero tap is NaN),
  // so every tap is applied.
  fineStage([&](int y) { return field + static_cast<size_t>(y) * W; }, blockMask,
            blockRows, blockCols, [](int, const std::vector<BlockSpan>&) {},
            [&](int y, int x0, int x1, float* fieldRow) {
              fineMeasureRowAnyMasks(pixelPlanes, mask1, mask2, y, x0, x1, W, fieldRow);
            },
            [](int, const std::vector<BlockSpan>&) {}, [](int) {}, nullptr);
}

void calcFineContoursFromImage(float* field, const unsigned char* blockMask,
                               const cv::Mat& image, const float* mask1,
                               const float* mask2, int blockRows, int blockCols,
                               int W) {
  fineStageFromImage(field, blockMask, image, mask1, mask2, blockRows, blockCols, W,
                     nullptr, nullptr);
}

namespace {

// fineStageFromImage with the field's rows given by fieldRow(y), rowsDone as
// fineStage calls it.
template <class FieldRow, class RowsDone>
void fineStageOfImage(FieldRow fieldRow, RowsDone rowsDone,
                      const unsigned char* blockMask, const cv::Mat& image,
                      const float* mask1, const float* mask2, int blockRows,
                      int blockCols, int W, ComputedBlocks* computed,
                      QuarterMaxima* quarters, bool freshRows) {
  // Block row bi reads surface rows 3bi-1 .. 3bi+3: five consecutive rows,
  // kept in five slots (row y in slot y mod 5) and made when first needed, so
  // that each row is made once. The row tables point at the slots.
  //
  // A pixel row reads nine of these rows side by side. Were they a multiple of
  // 4 KiB apart, as with widths that are multiples of 1024, they would all
  // fall into the same sets of the first-level cache and evict each other; so
  // the distance between rows is a whole number of vectors and an odd number
  // of cache lines modulo 4 KiB, which puts up to 64 rows in different sets.
  //
  // A row is made only in the columns the runs of blocks read, in pieces of
  // kPiece columns, each made once: where few blocks are computed, few
  // surface points are made. Gaps of up to kGap pieces between pieces a block
  // row needs are made too, so that a row is made in long stretches.
  //
  // The row tables hold only the five rows of the block row being computed,
  // surface row 3bi-1+k at k, so a pixel row y reads its rows from y%3 on; and
  // the slots are allocated when a first block row is computed. An image too
  // thin to have any (a few rows or columns) costs nothing here.
  constexpr int kPiece = 32, kGap = 3;
  const int madeColumns = 3 * blockCols;
  const int pieces = (madeColumns + kPiece - 1) / kPiece;
  size_t rowLength = (static_cast<size_t>(W) + kLanes - 1) / kLanes * kLanes;
  while (rowLength * sizeof(float) / 64 % 2 == 0) rowLength += kLanes;
  std::vector<float> slots;
  std::vector<unsigned char> made;
  std::vector<unsigned char> needed;
  float* rowTables[3][5] = {};
  float** planes[3] = {rowTables[0], rowTables[1], rowTables[2]};
  int slotRow[5] = {-1, -1, -1, -1, -1};
  const auto prepareRows = [&](int bi, const std::vector<BlockSpan>& runs) {
    if (slots.empty()) {
      slots.resize(3 * 5 * rowLength);
      made.resize(5 * static_cast<size_t>(pieces));
      needed.resize(static_cast<size_t>(pieces));
    }
    // The cells kept read columns 3*first-1 .. 3*end (below madeColumns). A
    // vector of a short run may read further, into lanes whose cells are
    // dropped (see measureRun): those may hold anything.
    std::fill(needed.begin(), needed.end(), 0);
    int lastNeeded = -1;
    for (const BlockSpan& run : runs) {
      const int from = (3 * run.first - 1) / kPiece, to = 3 * run.end / kPiece;
      const int start = lastNeeded >= 0 && from - lastNeeded <= kGap + 1 ? lastNeeded : from;
      std::fill(needed.begin() + start, needed.begin() + to + 1, 1);
      lastNeeded = to;
    }
    for (int y = 3 * bi - 1; y <= 3 * bi + 3; ++y) {
      const int slot = y % 5;
      float* rows = slots.data() + slot * 3 * rowLength;
      unsigned char* const slotMade = made.data() + static_cast<size_t>(slot) * pieces;
      if (slotRow[slot] != y) {
        std::memset(slotMade, 0, static_cast<size_t>(pieces));
        slotRow[slot] = y;
      }
      for (int p = 0; p < 3; ++p) rowTables[p][y - (3 * bi - 1)] = rows + p * rowLength;
      for (int piece = 0; piece < pieces;) {
        if (!needed[piece] || slotMade[piece]) {
          ++piece;
          continue;
        }
        const int start = piece;
        while (piece < pieces && needed[piece] && !slotMade[piece]) slotMade[piece++] = 1;
        surfaceRowPart(image, y, start * kPiece, std::min(madeColumns, piece * kPiece), rows,
                       rows + rowLength, rows + 2 * rowLength);
      }
    }
    // The block row after next makes rows 3bi+7 .. 3bi+9, mostly in the
    // columns this one needs. Their image bytes were last read by the surface
    // pass and have long left the caches: asked for now, they arrive while
    // this block row and the next are measured. (A prefetch never faults.)
    // The processor's own prefetching, which only starts once a row is being
    // read, leaves the first reads of each row waiting.
    for (int y = 3 * bi + 7; y <= std::min(3 * bi + 9, image.rows - 1); ++y) {
      const unsigned char* const bgr = image.ptr<unsigned char>(y);
      for (int piece = 0; piece < pieces; ++piece) {
        if (!needed[piece]) continue;
        const int end = 3 * std::min(madeColumns, (piece + 1) * kPiece);
        for (int b = 3 * piece * kPiece; b < end; b += 64) __builtin_prefetch(bgr + b);
      }
    }
  };
  const auto rowsFinal = [&](int finalRows) {
    if (quarters != nullptr)
      summariseComputedQuarterRows(*quarters, finalRows, *computed);
  };
  // Surface points made from bytes are finite (coordinates below 20 times the
  // image size plus a few hundred), so the zero taps of d1 and d2 may be left
  // out, and for exactly d1 and d2 their products shared.
  if (isDerivativePair(mask1, mask2)) {
    fineStage(fieldRow, blockMask, blockRows, blockCols, prepareRows,
              [&](int y, int x0, int x1, float* row) {
                fineMeasureRowDerivativePair(planes, y % 3 + 1, x0, x1, W, row);
              },
              rowsDone, rowsFinal, computed, freshRows);
  } else {
    fineStage(fieldRow, blockMask, blockRows, blockCols, prepareRows,
              [&](int y, int x0, int x1, float* row) {
                fineMeasureRowAnyMasks(planes, mask1, mask2, y % 3 + 1, x0, x1, W, row);
              },
              rowsDone, rowsFinal, computed, freshRows);
  }
  rowsFinal(image.rows);
}

}  // namespace

void fineStageFromImage(float* field, const unsigned char* blockMask,
                        const cv::Mat& image, const float* mask1, const float* mask2,
                        int blockRows, int blockCols, int W, ComputedBlocks* computed,
                        QuarterMaxima* quarters) {
  fineStageOfImage([&](int y) { return field + static_cast<size_t>(y) * W; },
                   [](int, const std::vector<BlockSpan>&) {}, blockMask, image, mask1,
                   mask2, blockRows, blockCols, W, computed, quarters, false);
}

long long fineStageRanks(unsigned char* ranks, const float* quantileTable,
                         const unsigned char* blockMask, const cv::Mat& image,
                         const float* mask1, const float* mask2, int blockRows,
                         int blockCols, int W, RankQuarterBuilder* summary) {
  // A block row's three field rows are computed into a scratch that is all +0
  // whenever a block row starts (as the whole field is, where no block row
  // has written yet), then turned into ranks and cleared again.
  //
  // Rank rows 3bi .. 3bi+2 are written when block row bi is done, and rows
  // above them that no block row wrote as the 0 of +0 then too; the bottom
  // rows at the end. Those bytes, read as a continuous image, are image rows
  // below bi, which only block rows up to bi - 1 read (block row bi reads
  // rows 3bi-1 .. 3bi+3), so ranks may be the image's own buffer.
  std::vector<float> scratch(3 * static_cast<size_t>(W), 0.0f);
  long long nonZero = 0;
  const RankLookup rankOfCell(quantileTable);
  const size_t rowBytes = static_cast<size_t>(W);
  size_t written = 0;  // cells from the first on that hold their final rank
  const auto rowsDone = [&](int bi, const std::vector<BlockSpan>& runs) {
    const size_t end = static_cast<size_t>(3 * bi + 3) * rowBytes;
    std::memset(ranks + written, 0, end - written);
    written = end;
    // The runs are ranked in stretches of whole vectors where the row allows:
    // gaps shorter than a vector are read through, and a stretch's end is
    // rounded up to a whole number of vectors. The cells taken in besides
    // the runs' are +0 (the scratch outside the runs is never written), so
    // their ranks are the 0 already there, and they count as zeros.
    constexpr int kVector = 8;
    for (int y = 3 * bi; y < 3 * bi + 3; ++y) {
      float* const row = scratch.data() + static_cast<size_t>(y % 3) * W;
      unsigned char* const out = ranks + static_cast<size_t>(y) * W;
      for (size_t r = 0; r < runs.size();) {
        const int x0 = 3 * runs[r].first;
        int x1 = 3 * runs[r].end;
        for (++r; r < runs.size() && 3 * runs[r].first - x1 < kVector; ++r)
          x1 = 3 * runs[r].end;
        // Less than a vector more, so short of the next stretch.
        const int whole = x0 + (x1 - x0 + kVector - 1) / kVector * kVector;
        if (whole <= W) x1 = whole;
        nonZero += rankOfCell.takeRanks(row + x0, out + x0, x1 - x0);
        if (summary != nullptr) summary->add(y, out, x0, x1);
      }
    }
  };
  fineStageOfImage(
      [&](int y) { return scratch.data() + static_cast<size_t>(y % 3) * W; }, rowsDone,
      blockMask, image, mask1, mask2, blockRows, blockCols, W, nullptr, nullptr, true);
  std::memset(ranks + written, 0, static_cast<size_t>(image.rows) * rowBytes - written);
  return nonZero;
}

}  // namespace contours
