#include "refinement/pixel_measure.hpp"

#include <cstring>
#include <utility>

#include <contours/refinement.hpp>

#include "support/vector_build.hpp"

namespace contours {

namespace {

// Sixteen pixels side by side, one a lane.
using Lanes = Lanes16;
constexpr int kLanes = kMeasureLanes;
static_assert(sizeof(Lanes) == kLanes * sizeof(float), "one pixel a lane");

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

  CONTOURS_INLINE MaskedPixels(const SurfaceRows& surface, const float* mask1,
                               const float* mask2, int y) {
    for (int k = 0; k < 9; ++k) {
      a[k] = mask1[k];
      b[k] = mask2[k];
    }
    for (int p = 0; p < 3; ++p)
      for (int k = 0; k < 3; ++k) rows[p][k] = surface.planes[p][y - surface.origin + k - 1];
  }
  template <class T>
  CONTOURS_INLINE T at(int x) const {
    return fineMeasure<T>(rows, x, a, b);
  }
};

// Pixels of surface row y with exactly the derivative pair.
struct DerivativePairPixels {
  const float* rows[3][3];

  CONTOURS_INLINE DerivativePairPixels(const SurfaceRows& surface, int y) {
    for (int p = 0; p < 3; ++p)
      for (int k = 0; k < 3; ++k) rows[p][k] = surface.planes[p][y - surface.origin + k - 1];
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

// True when mask1 is exactly d1 = [-e 0 e; -q 0 q; -e 0 e] and mask2 exactly
// its transpose, bit for bit (zeros positive).
bool isDerivativePair(const float* mask1, const float* mask2) {
  const float e = kEdgeTap, q = kMiddleTap;
  const float d1[9] = {-e, 0.0f, e, -q, 0.0f, q, -e, 0.0f, e};
  const float d2[9] = {-e, -q, -e, 0.0f, 0.0f, 0.0f, e, q, e};
  return std::memcmp(mask1, d1, sizeof d1) == 0 && std::memcmp(mask2, d2, sizeof d2) == 0;
}

}  // namespace

PixelMeasure::PixelMeasure(const float* mask1, const float* mask2, int n,
                           bool finiteSurface)
    : mask1_(mask1), mask2_(mask2), n_(n) {
  // On a surface that may hold infinities, an infinity times a zero tap is
  // NaN: every tap is applied there.
  if (n != 3)
    kernel_ = Kernel::AnySize;
  else if (finiteSurface && isDerivativePair(mask1, mask2))
    kernel_ = Kernel::DerivativePair;
  else
    kernel_ = Kernel::AnyThreeByThree;
}

void PixelMeasure::tangents(const SurfaceRows& surface, int y, int x, float* u,
                            float* w) const {
  const int n = n_, half = n / 2;
  u[0] = u[1] = u[2] = 0.0f;
  w[0] = w[1] = w[2] = 0.0f;
  for (int k = 0; k < n; ++k) {
    const int row = y + k - half - surface.origin;
    for (int l = 0; l < n; ++l) {
      const int column = x + l - half;
      const float a = mask1_[k * n + l];
      const float b = mask2_[k * n + l];
      for (int p = 0; p < 3; ++p) u[p] = surface.planes[p][row][column] * a + u[p];
      for (int p = 0; p < 3; ++p) w[p] = surface.planes[p][row][column] * b + w[p];
    }
  }
}

void PixelMeasure::row(const SurfaceRows& surface, int y, int x0, int x1, int W,
                       float* fieldRow) const {
  switch (kernel_) {
    case Kernel::DerivativePair:
      runVectorBuild<MeasureRun<DerivativePairPixels>>(x0, x1, W, fieldRow, surface, y);
      return;
    case Kernel::AnyThreeByThree:
      runVectorBuild<MeasureRun<MaskedPixels>>(x0, x1, W, fieldRow, surface, mask1_,
                                               mask2_, y);
      return;
    case Kernel::AnySize:
      break;
  }
  // One pixel at a time, in the order the vector kernels keep.
  for (int x = x0; x < x1; ++x) {
    float u[3], w[3];
    tangents(surface, y, x, u, w);
    fieldRow[x] = measureOfTangents(u[0], u[1], u[2], w[0], w[1], w[2]);
  }
}

void preparingFineContours(int bi, int bj, const float* const* const* pixelPlanes,
                           float* field, float* u, float* w, float* const* metric,
                           const float* mask1, const float* mask2, int W, int n) {
  const SurfaceRows surface{{pixelPlanes[0], pixelPlanes[1], pixelPlanes[2]}, 0};
  const PixelMeasure measure(mask1, mask2, n, false);
  for (int y = 3 * bi; y < 3 * bi + 3; ++y)
    measure.row(surface, y, 3 * bj, 3 * bj + 3, W, field + static_cast<size_t>(y) * W);
  // The working storage is left with the block's last pixel.
  measure.tangents(surface, 3 * bi + 2, 3 * bj + 2, u, w);
  metric[0][0] = (u[0] * u[0] + u[1] * u[1]) + u[2] * u[2];
  metric[0][1] = (u[0] * w[0] + u[1] * w[1]) + u[2] * w[2];
  metric[1][0] = metric[0][1];
  metric[1][1] = (w[0] * w[0] + w[1] * w[1]) + w[2] * w[2];
}

}  // namespace contours
