#include "field/ranks.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "support/vector_build.hpp"

#ifdef CONTOURS_VECTOR_BUILDS
#include <immintrin.h>
#endif

namespace contours {

bool ranksServe(const float* table, int bins, double startFraction) {
  if (bins != 256) return false;
  const double start = bins * startFraction;
  if (!(start >= 0.0 && start < bins - 1)) return false;
  if (!(table[0] > 0.0f)) return false;  // also NaN
  for (int k = 1; k < bins; ++k)
    if (!(table[k - 1] <= table[k])) return false;  // out of order or NaN
  return true;
}

RankLookup::RankLookup(const float* table) {
  for (int k = 0; k < 255; ++k) scan_[k] = table[k];
  scan_[255] = std::numeric_limits<float>::quiet_NaN();
  const auto bitsOf = [](float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
  };
  // d of every entry, rising with k (the table is sorted, its entries
  // positive): from 0 for table[0] to that of table[254], at most
  // +infinity's, below 2^31.
  base_ = bitsOf(scan_[0]);
  std::uint32_t d[255];
  for (int k = 0; k < 255; ++k) d[k] = bitsOf(scan_[k]) - base_;
  // Keys are as wide as they can be with no key holding two distinct entry
  // values (a smaller table stays in the first-level cache), but no wider
  // than 2^16, so that a value's place in its key fits its 16 bits; and
  // wider where that would take more than kMaxKeys words, in which case some
  // keys may be inexact.
  constexpr std::uint32_t kMaxKeys = 1u << 14;
  std::uint32_t gap = std::uint32_t{1} << 16;
  for (int j = 0; j + 1 < 255; ++j)
    if (d[j + 1] != d[j]) gap = std::min(gap, d[j + 1] - d[j]);
  unsigned exact = 0;  // the largest shift whose keys are no wider than gap
  while (exact < 16 && (std::uint32_t{2} << exact) <= gap) ++exact;
  unsigned fits = 0;  // the smallest shift whose keys fit kMaxKeys words
  while ((d[254] >> fits) + 2 > kMaxKeys) ++fits;
  shift_ = std::min(16u, std::max(exact, fits));
  lastKey_ = (d[254] >> shift_) + 1;
  keys_.resize(static_cast<size_t>(lastKey_) + 1);
  int k = 0;  // the first entry at or past the key being made
  for (std::uint32_t q = 0; q < lastKey_; ++q) {
    const std::uint64_t start = std::uint64_t{q} << shift_;
    const std::uint64_t end = start + (std::uint64_t{1} << shift_);
    while (k < 255 && d[k] < start) ++k;
    int j = k;
    while (j < 255 && d[j] < end && d[j] == d[k]) ++j;
    // A second distinct value in the key, or more equal entries than its
    // count holds: its cells step along the table.
    const bool inexact = (j < 255 && d[j] < end) || j - k > 127;
    const std::uint32_t offset = j > k ? static_cast<std::uint32_t>(d[k] - start) : 0;
    keys_[q] = static_cast<std::uint32_t>(k) | static_cast<std::uint32_t>(j - k) << 8 |
               (inexact ? kInexact : 0) | offset << 16;
  }
  keys_[lastKey_] = 255;  // past table[254]
}

long long RankLookup::takeRanksFrom(int i, float* cells, unsigned char* out, int n) const {
  long long nonZero = 0;
  for (; i < n; ++i) {
    const float v = cells[i];
    nonZero += v != 0.0f;
    out[i] = rank(v);
    cells[i] = 0.0f;
  }
  return nonZero;
}

#ifdef CONTOURS_VECTOR_BUILDS
// Eight cells a lane each: the steps of rank(), a lane's key word read by
// one gather; cells of inexact keys are ranked one by one.
CONTOURS_TARGET_AVX2 int RankLookup::takeRanksInLanes(float* cells, unsigned char* out,
                                                      int n, long long& nonZero) const {
  const __m256 first = _mm256_set1_ps(scan_[0]);
  const __m256i base = _mm256_set1_epi32(static_cast<int>(base_));
  const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(shift_));
  const __m256i last = _mm256_set1_epi32(static_cast<int>(lastKey_));
  const __m256i within = _mm256_set1_epi32(static_cast<int>((1u << shift_) - 1));
  const __m256i low8 = _mm256_set1_epi32(0xff), low7 = _mm256_set1_epi32(0x7f);
  const __m256i inexactBit = _mm256_set1_epi32(static_cast<int>(kInexact));
  // The low byte of each int lane, lanes 0-3 and 4-7 into the first four
  // bytes of either half, then both halves' first ints side by side.
  const __m256i lowBytes = _mm256_setr_epi8(
      0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
      0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m256i halves = _mm256_setr_epi32(0, 4, 0, 0, 0, 0, 0, 0);
  const int* const keys = reinterpret_cast<const int*>(keys_.data());
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 v = _mm256_loadu_ps(cells + i);
    nonZero += __builtin_popcount(static_cast<unsigned>(
        _mm256_movemask_ps(_mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_NEQ_UQ))));
    const __m256i ranked = _mm256_castps_si256(_mm256_cmp_ps(v, first, _CMP_GE_OQ));
    const __m256i d = _mm256_sub_epi32(_mm256_castps_si256(v), base);
    const __m256i key = _mm256_min_epu32(_mm256_srl_epi32(d, shift), last);
    const __m256i word = _mm256_i32gather_epi32(keys, key, 4);
    const __m256i lower = _mm256_and_si256(word, low8);
    const __m256i step = _mm256_and_si256(_mm256_srli_epi32(word, 8), low7);
    const __m256i notReached =
        _mm256_cmpgt_epi32(_mm256_srli_epi32(word, 16), _mm256_and_si256(d, within));
    const __m256i r =
        _mm256_and_si256(_mm256_add_epi32(lower, _mm256_andnot_si256(notReached, step)), ranked);
    const __m256i packed = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(r, lowBytes), halves);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm256_castsi256_si128(packed));
    const unsigned inexact = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(
        _mm256_and_si256(ranked, _mm256_cmpeq_epi32(_mm256_and_si256(word, inexactBit),
                                                    inexactBit)))));
    for (unsigned lanes = inexact; lanes != 0; lanes &= lanes - 1)
      out[i + __builtin_ctz(lanes)] = rank(cells[i + __builtin_ctz(lanes)]);
    _mm256_storeu_ps(cells + i, _mm256_setzero_ps());
  }
  return i;
}
#endif

long long RankLookup::takeRanks(float* cells, unsigned char* out, int n) const {
  long long nonZero = 0;
  int i = 0;
#ifdef CONTOURS_VECTOR_BUILDS
  // The AVX-512 build uses the same AVX2 steps.
  if (activeVectorBuild() != VectorBuild::Baseline) i = takeRanksInLanes(cells, out, n, nonZero);
#endif
  return nonZero + takeRanksFrom(i, cells, out, n);
}

namespace {

// Sixteen bytes at a time; the compiler's vector extension, so every build
// has it. Comparisons give 0xff where true and 0 where false.
typedef unsigned char Bytes16 __attribute__((vector_size(16)));

Bytes16 load16(const unsigned char* p) {
  Bytes16 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void store16(unsigned char* p, Bytes16 v) { std::memcpy(p, &v, sizeof v); }

typedef unsigned int Words4 __attribute__((vector_size(16)));

// out[qc], for quarters qc in [from, to), is the largest of columnMax's h
// bytes of quarter qc. Quarters 4 bytes wide (boxes of 8) are taken four at
// a time: the largest of each 4-byte word lands in its least significant
// byte after two shifted maxima.
void quarterMaximaOfColumns(const unsigned char* columnMax, int from, int to, int h,
                            unsigned char* out) {
  int qc = from;
  if (h == 4) {
    for (; qc + 4 <= to; qc += 4) {
      Bytes16 v = load16(columnMax + 4 * qc);
      Bytes16 shifted = reinterpret_cast<Bytes16>(reinterpret_cast<Words4>(v) >> 8);
      v = v > shifted ? v : shifted;
      shifted = reinterpret_cast<Bytes16>(reinterpret_cast<Words4>(v) >> 16);
      v = v > shifted ? v : shifted;
      const Words4 low = reinterpret_cast<Words4>(v) & 0xffu;
      for (int k = 0; k < 4; ++k) out[qc + k] = static_cast<unsigned char>(low[k]);
    }
  }
  for (; qc < to; ++qc) {
    unsigned char q = 0;
    for (int j = qc * h; j < qc * h + h; ++j) q = std::max(q, columnMax[j]);
    out[qc] = q;
  }
}

}  // namespace

RankQuarterBuilder::RankQuarterBuilder(int rows, int cols, int boxSize)
    : quarters_(startRankQuarters(rows, cols, boxSize)),
      half_(boxSize / 2),
      extent_(quarters_.quarterCols * half_),
      columnMax_(static_cast<size_t>(extent_), 0) {}

RankQuarterBuilder::RankQuarterBuilder(int rows, int cols, int boxSize, int firstRow,
                                       int endRow)
    : RankQuarterBuilder(0, cols, boxSize) {
  // The rows of quarters of the counted extent that field rows
  // firstRow .. endRow-1 touch.
  firstQuarterRow_ = firstRow / half_;
  const int last = std::min(2 * (rows / boxSize), (endRow + half_ - 1) / half_);
  quarters_.quarterRows = std::max(0, last - firstQuarterRow_);
  quarters_.maxima.assign(static_cast<size_t>(quarters_.quarterRows) * quarters_.quarterCols,
                          0);
}

void RankQuarterBuilder::mergeInto(RankQuarters& whole) {
  closeQuarterRow();
  const size_t offset = static_cast<size_t>(firstQuarterRow_) * whole.quarterCols;
  unsigned char* const out = whole.maxima.data() + offset;
  const unsigned char* const band = quarters_.maxima.data();
  for (size_t i = 0; i < quarters_.maxima.size(); ++i) out[i] = std::max(out[i], band[i]);
}

void RankQuarterBuilder::add(int y, const unsigned char* row, int x0, int x1) {
  const int qr = y / half_ - firstQuarterRow_;
  if (qr >= quarters_.quarterRows) return;  // below the counted extent
  if (qr != open_) {
    closeQuarterRow();
    open_ = qr;
    touchedFrom_ = extent_;
    touchedTo_ = 0;
  }
  x1 = std::min(x1, extent_);
  if (x0 >= x1) return;
  unsigned char* const m = columnMax_.data();
  int x = x0;
  for (; x + 16 <= x1; x += 16) {
    const Bytes16 a = load16(m + x), b = load16(row + x);
    store16(m + x, a > b ? a : b);
  }
  for (; x < x1; ++x) m[x] = std::max(m[x], row[x]);
  touchedFrom_ = std::min(touchedFrom_, x0);
  touchedTo_ = std::max(touchedTo_, x1);
}

void RankQuarterBuilder::closeQuarterRow() {
  if (open_ < 0) return;
  unsigned char* const m = columnMax_.data();
  unsigned char* const out =
      quarters_.maxima.data() + static_cast<size_t>(open_) * quarters_.quarterCols;
  // Quarters wholly outside the touched columns keep the 0 they start with.
  if (touchedFrom_ < touchedTo_)
    quarterMaximaOfColumns(m, touchedFrom_ / half_, (touchedTo_ + half_ - 1) / half_, half_,
                           out);
  if (touchedFrom_ < touchedTo_)
    std::fill(m + touchedFrom_, m + touchedTo_, static_cast<unsigned char>(0));
  open_ = -1;
}

RankQuarters RankQuarterBuilder::finish() {
  closeQuarterRow();
  return std::move(quarters_);
}

long long markRanks(const unsigned char* ranks, unsigned char* out, size_t n, int index) {
  const unsigned char level = static_cast<unsigned char>(index);
  const Bytes16 levels = level - Bytes16{};
  long long marked = 0;
  size_t i = 0;
  // Counted a block at a time, each lane's count below 256.
  while (i + 16 <= n) {
    Bytes16 count{};
    for (int k = 0; k < 255 && i + 16 <= n; ++k, i += 16) {
      const Bytes16 reached = load16(ranks + i) > levels;  // 0xff where reached
      count -= reached;                                     // adds 1 there
      store16(out + i, ~reached);
    }
    for (int lane = 0; lane < 16; ++lane) marked += count[lane];
  }
  for (; i < n; ++i) {
    const bool reached = ranks[i] > level;
    marked += reached;
    out[i] = reached ? 0 : 255;
  }
  return marked;
}

}  // namespace contours
