#include "refinement/candidate_runs.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "support/vector_build.hpp"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace contours {

namespace {

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
void markNear(unsigned char* near, const unsigned char* from, size_t n) {
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

}  // namespace

// A byte is 255 only when all its bits are set, so the AND of mask bytes is
// 255 exactly when every one of them is 255: noCandidate[j] is 255 exactly
// when no candidate lies in column j, rows bi-1 .. bi+1. Columns outside the
// candidates' range stay 255. nearBytes[bj] is not 0 exactly when a candidate
// lies in columns bj-1 .. bj+1 of those rows; nearBytes[0] and
// nearBytes[blockCols-1] stay 0.
CandidateRuns::CandidateRuns(const unsigned char* blockMask, int blockRows, int blockCols)
    : blockMask_(blockMask),
      blockRows_(blockRows),
      blockCols_(blockCols),
      noCandidate_(static_cast<size_t>(blockCols), 255),
      nearBytes_(static_cast<size_t>(blockCols), 0),
      nearBits_(static_cast<size_t>(blockCols + 63) / 64) {}

const std::vector<BlockSpan>& CandidateRuns::near(int bi) {
  const unsigned char* maskRows[3] = {};
  int maskRowCount = 0;
  for (int i = std::max(2, bi - 1); i <= std::min(blockRows_ - 3, bi + 1); ++i)
    maskRows[maskRowCount++] = blockMask_ + static_cast<size_t>(i) * blockCols_ + 2;
  andRows(noCandidate_.data() + 2, maskRows, maskRowCount,
          static_cast<size_t>(blockCols_ - 4));
  markNear(nearBytes_.data(), noCandidate_.data(), static_cast<size_t>(blockCols_));
  // The runs are the stretches of near bytes that are not 0, found as
  // stretches of set bits.
  nearBits(nearBits_.data(), nearBytes_.data(), blockCols_);
  runs_.clear();
  for (int bj = 1;;) {
    const int first = nextBit(nearBits_.data(), bj, blockCols_, true);
    if (first >= blockCols_) break;
    bj = nextBit(nearBits_.data(), first, blockCols_, false);  // near[blockCols-1] is 0
    runs_.push_back({first, bj});
  }
  return runs_;
}

}  // namespace contours
