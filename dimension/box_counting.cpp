#include <contours/dimension.hpp>
#include "dimension/box_counting.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "support/bands.hpp"
#include "support/vector_build.hpp"

namespace contours {

namespace {

// True when some cell of the size x size square at (top, left) reaches the
// threshold. The comparison is ordered, so NaN cells never qualify.
bool squareQualifies(const float* field, int cols, int top, int left, int size,
                     float threshold) {
  for (int i = top; i < top + size; ++i) {
    const float* row = field + static_cast<long long>(i) * cols;
    for (int j = left; j < left + size; ++j)
      if (row[j] >= threshold) return true;
  }
  return false;
}

// m[j] = the larger of m[j] and row[j], keeping m[j] when row[j] is NaN.
struct RaiseColumnMaxima {
  static CONTOURS_INLINE void run(const float* __restrict row, float* __restrict m,
                                  int n) {
    int j = 0;
    for (; j + 16 <= n; j += 16)
      for (int k = 0; k < 16; ++k)
        m[j + k] = row[j + k] > m[j + k] ? row[j + k] : m[j + k];
    for (; j < n; ++j) m[j] = row[j] > m[j] ? row[j] : m[j];
  }
};

// The box counts of a threshold over rows of quarter maxima (an even number
// of them): twice the boxes (2 x 2 quarters) holding one that reaches it,
// and the quarters that reach it. Eight quarters of a row pair at a time: a
// comparison gives -1 where reached, so the counts are subtracted; each box
// is counted in both lanes of its pair.
struct CountQuarters {
  typedef int Ints8 __attribute__((vector_size(32)));

  static CONTOURS_INLINE void run(const float* maxima, int quarterRows, int quarterCols,
                                  float threshold, long long& twiceN1, long long& N2) {
    const Lanes8 level = threshold - Lanes8{};
    int n1 = 0, n2 = 0;
    for (int qr = 0; qr < quarterRows; qr += 2) {
      const float* top = maxima + static_cast<size_t>(qr) * quarterCols;
      const float* bottom = top + quarterCols;
      Ints8 boxes{}, quarters{};
      int c = 0;
      for (; c + 8 <= quarterCols; c += 8) {
        const Ints8 a = loadAs<Lanes8>(top + c) >= level;
        const Ints8 b = loadAs<Lanes8>(bottom + c) >= level;
        quarters -= a;
        quarters -= b;
        const Ints8 either = a | b;
        boxes -= either | __builtin_shufflevector(either, either, 1, 0, 3, 2, 5, 4, 7, 6);
      }
      for (int lane = 0; lane < 8; ++lane) {
        n1 += boxes[lane];
        n2 += quarters[lane];
      }
      for (; c < quarterCols; c += 2) {
        const int occupied = (top[c] >= threshold) + (top[c + 1] >= threshold) +
                             (bottom[c] >= threshold) + (bottom[c + 1] >= threshold);
        n1 += 2 * (occupied > 0);
        n2 += occupied;
      }
    }
    twiceN1 = n1;
    N2 = n2;
  }
};

// The same counts over byte maxima, for the cells above k: thirty-two
// quarters of a row pair at a time, counted in byte lanes that are added up
// before they can overflow (a lane gains at most 2 a step).
struct CountRankQuarters {
  typedef unsigned char Bytes32 __attribute__((vector_size(32)));

  static CONTOURS_INLINE Bytes32 load(const unsigned char* p) {
    Bytes32 v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }

  static CONTOURS_INLINE void run(const unsigned char* maxima, int quarterRows,
                                  int quarterCols, unsigned char k, long long& twiceN1,
                                  long long& N2) {
    const Bytes32 level = k - Bytes32{};
    long long n1 = 0, n2 = 0;
    for (int qr = 0; qr < quarterRows; qr += 2) {
      const unsigned char* top = maxima + static_cast<size_t>(qr) * quarterCols;
      const unsigned char* bottom = top + quarterCols;
      int c = 0;
      while (c + 32 <= quarterCols) {
        Bytes32 boxes{}, quarters{};
        for (int step = 0; step < 127 && c + 32 <= quarterCols; ++step, c += 32) {
          const Bytes32 a = reinterpret_cast<Bytes32>(load(top + c) > level);
          const Bytes32 b = reinterpret_cast<Bytes32>(load(bottom + c) > level);
          quarters -= a;
          quarters -= b;
          const Bytes32 either = a | b;
          boxes -= either | __builtin_shufflevector(either, either, 1, 0, 3, 2, 5, 4, 7, 6,
                                                    9, 8, 11, 10, 13, 12, 15, 14, 17, 16,
                                                    19, 18, 21, 20, 23, 22, 25, 24, 27, 26,
                                                    29, 28, 31, 30);
        }
        for (int lane = 0; lane < 32; ++lane) {
          n1 += boxes[lane];
          n2 += quarters[lane];
        }
      }
      for (; c < quarterCols; c += 2) {
        const int occupied = (top[c] > k) + (top[c + 1] > k) + (bottom[c] > k) +
                             (bottom[c + 1] > k);
        n1 += 2 * (occupied > 0);
        n2 += occupied;
      }
    }
    twiceN1 = n1;
    N2 = n2;
  }
};

// Runs count(firstQuarterRow, quarterRows, twiceN1, N2) over the box rows
// (row pairs of quarters) in bands side by side, and adds up the bands' whole
// counts.
template <class Count>
void countInBands(int quarterRows, const Split& split, const Count& count, long long& N1,
                  long long& N2) {
  const int boxRows = quarterRows / 2;
  const Split bands = split.atMost(boxRows);
  std::vector<long long> twiceN1(static_cast<size_t>(bands.bands)),
      n2(static_cast<size_t>(bands.bands));
  forEachBand(bands, [&](int k) {
    const BandSpan span = bandSpan(boxRows, bands.bands, k);
    count(2 * span.first, 2 * (span.end - span.first), twiceN1[k], n2[k]);
  });
  long long sum1 = 0, sum2 = 0;
  for (int k = 0; k < bands.bands; ++k) sum1 += twiceN1[k], sum2 += n2[k];
  N1 = sum1 / 2;
  N2 = sum2;
}

}  // namespace

void raiseColumnMaxima(const float* row, float* m, int n) {
  runVectorBuild<RaiseColumnMaxima>(row, m, n);
}

namespace {

void checkArguments(int rows, int cols, int boxSize) {
  if (boxSize < 2 || boxSize % 2 != 0)
    throw std::invalid_argument("box size must be even and at least 2");
  if (rows < 0 || cols < 0)
    throw std::invalid_argument("field size must not be negative");
}

// {ln(1/s): ln N1, ln(1/(s/2)): ln N2}, each logarithm taken in double and
// rounded to float.
DimensionSamples samplesOf(int s, int N1, int N2) {
  DimensionSamples samples;
  samples.emplace(static_cast<float>(std::log(1.0 / s)),
                  static_cast<float>(std::log(static_cast<double>(N1))));
  samples.emplace(static_cast<float>(std::log(1.0 / (s / 2))),
                  static_cast<float>(std::log(static_cast<double>(N2))));
  return samples;
}

}  // namespace

DimensionSamples BowCountingDimension(const float* field, int rows, int cols,
                                      float threshold, int boxSize) {
  checkArguments(rows, cols, boxSize);

  const int s = boxSize;
  const int h = s / 2;
  const int boxRows = rows / s;
  const int boxCols = cols / s;

  std::vector<bool> occupied(static_cast<size_t>(boxRows) * boxCols, false);
  for (int u = 0; u < boxRows; ++u)
    for (int v = 0; v < boxCols; ++v)
      if (squareQualifies(field, cols, u * s, v * s, s, threshold))
        occupied[static_cast<size_t>(u) * boxCols + v] = true;

  int N1 = 0, N2 = 0;
  for (int u = 0; u < boxRows; ++u) {
    for (int v = 0; v < boxCols; ++v) {
      if (!occupied[static_cast<size_t>(u) * boxCols + v]) continue;
      ++N1;
      for (int p = 0; p < 2; ++p)
        for (int q = 0; q < 2; ++q)
          if (squareQualifies(field, cols, u * s + p * h, v * s + q * h, h,
                              threshold))
            ++N2;
    }
  }

  return samplesOf(s, N1, N2);
}

QuarterMaxima startQuarters(const float* field, int rows, int cols, int boxSize) {
  checkArguments(rows, cols, boxSize);
  QuarterMaxima quarters;
  quarters.field = field;
  quarters.rows = rows;
  quarters.cols = cols;
  quarters.boxSize = boxSize;
  quarters.quarterRows = 2 * (rows / boxSize);
  quarters.quarterCols = 2 * (cols / boxSize);
  quarters.maxima.assign(
      static_cast<size_t>(quarters.quarterRows) * quarters.quarterCols, 0.0f);
  return quarters;
}

namespace {

// Quarter rows first .. end-1 of the summary, from the field.
void summariseQuarterRange(QuarterMaxima& quarters, int first, int end) {
  const int h = quarters.boxSize / 2;
  const int extent = quarters.quarterCols * h;  // counted columns
  if (first >= end) return;
  // Column maxima over the h rows of a row of quarters, then maxima over each
  // quarter's h columns. "c > m ? c : m" keeps m when c is NaN; -0 and +0
  // compare equal, so whichever is kept compares the same with any threshold.
  std::vector<float> columnMax(static_cast<size_t>(extent));
  for (int qr = first; qr < end; ++qr) {
    float* __restrict m = columnMax.data();
    for (int j = 0; j < extent; ++j) m[j] = -INFINITY;
    for (int i = qr * h; i < qr * h + h; ++i)
      raiseColumnMaxima(quarters.field + static_cast<long long>(i) * quarters.cols, m,
                        extent);
    float* out = quarters.maxima.data() + static_cast<size_t>(qr) * quarters.quarterCols;
    for (int qc = 0; qc < quarters.quarterCols; ++qc) {
      float q = -INFINITY;
      for (int j = qc * h; j < qc * h + h; ++j) q = m[j] > q ? m[j] : q;
      out[qc] = q;
    }
  }
}

}  // namespace

void summariseQuarterRows(QuarterMaxima& quarters, int finalRows) {
  const int end = std::min(quarters.quarterRows, finalRows / (quarters.boxSize / 2));
  if (quarters.summarisedRows >= end) return;
  summariseQuarterRange(quarters, quarters.summarisedRows, end);
  quarters.summarisedRows = end;
}

QuarterMaxima summariseQuarters(const float* field, int rows, int cols, int boxSize,
                                const Split& split) {
  QuarterMaxima quarters = startQuarters(field, rows, cols, boxSize);
  // Each row of quarters is made from its own field rows alone.
  const int quarterRows = quarters.quarterRows;
  const Split bands = split.atMost(quarterRows);
  forEachBand(bands, [&](int k) {
    const BandSpan span = bandSpan(quarterRows, bands.bands, k);
    summariseQuarterRange(quarters, span.first, span.end);
  });
  quarters.summarisedRows = quarterRows;
  return quarters;
}

DimensionSamples countBoxesReaching(const QuarterMaxima& quarters, float threshold,
                                    const Split& bands) {
  // An all-NaN quarter holds -infinity, which reaches a threshold of -infinity
  // although none of its cells does: count that one threshold cell by cell.
  if (threshold == -INFINITY)
    return BowCountingDimension(quarters.field, quarters.rows, quarters.cols,
                                threshold, quarters.boxSize);
  // A box is occupied exactly when one of its quarters is, and every occupied
  // quarter lies in an occupied box.
  long long N1 = 0, N2 = 0;
  const int qCols = quarters.quarterCols;
  countInBands(
      quarters.quarterRows, bands,
      [&](int first, int rows, long long& twiceN1, long long& n2) {
        runVectorBuild<CountQuarters>(quarters.maxima.data() + static_cast<size_t>(first) * qCols,
                                      rows, qCols, threshold, twiceN1, n2);
      },
      N1, N2);
  return samplesOf(quarters.boxSize, static_cast<int>(N1), static_cast<int>(N2));
}

RankQuarters startRankQuarters(int rows, int cols, int boxSize) {
  checkArguments(rows, cols, boxSize);
  RankQuarters quarters;
  quarters.boxSize = boxSize;
  quarters.quarterRows = 2 * (rows / boxSize);
  quarters.quarterCols = 2 * (cols / boxSize);
  quarters.maxima.assign(static_cast<size_t>(quarters.quarterRows) * quarters.quarterCols, 0);
  return quarters;
}

DimensionSamples countBoxesAboveRank(const RankQuarters& quarters, int rank,
                                     const Split& bands) {
  // Every byte is above -1 and none above 255.
  long long N1 = 0, N2 = 0;
  if (rank < 0) {
    N1 = static_cast<long long>(quarters.quarterRows / 2) * (quarters.quarterCols / 2);
    N2 = static_cast<long long>(quarters.quarterRows) * quarters.quarterCols;
  } else if (rank < 255) {
    const int qCols = quarters.quarterCols;
    countInBands(
        quarters.quarterRows, bands,
        [&](int first, int rows, long long& twiceN1, long long& n2) {
          runVectorBuild<CountRankQuarters>(
              quarters.maxima.data() + static_cast<size_t>(first) * qCols, rows, qCols,
              static_cast<unsigned char>(rank), twiceN1, n2);
        },
        N1, N2);
  }
  return samplesOf(quarters.boxSize, static_cast<int>(N1), static_cast<int>(N2));
}

}  // namespace contours
