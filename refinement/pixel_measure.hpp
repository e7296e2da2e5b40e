#pragma once
// The fine measure of a pixel, (E+G)^2 / (EG-F^2) of the tangents that two
// n x n masks take of the pixel surface around it, computed a stretch of a
// pixel row at a time. Private to the library.

namespace contours {

// Pixels measured side by side in the vector builds: a surface row must be
// readable this many columns past a stretch's first (see PixelMeasure::row).
constexpr int kMeasureLanes = 16;

// Rows of a pixel surface: row y of plane p is planes[p][y - origin].
struct SurfaceRows {
  const float* const* planes[3];
  int origin;
};

// The measure for one pair of masks (n x n, row-major): for each pixel, u_p
// and w_p accumulate P_p * mask1 and P_p * mask2 over the window centred on
// it in row-major order (element (k, l) weighs the sample at offset
// (k - n/2, l - n/2)), each product rounded before it is added; then
// E = u.u, F = u.w, G = w.w and (E+G)^2 / (EG-F^2). Every build gives the
// bits of that order.
class PixelMeasure {
 public:
  // finiteSurface says that every surface value read is finite, as those
  // made from image bytes are: the zero taps of exactly the derivative pair
  // may then be left out.
  PixelMeasure(const float* mask1, const float* mask2, int n, bool finiteSurface);

  // fieldRow[x] = the measure of pixel (y, x) for x0 <= x < x1. Reads the
  // window of each of those pixels and, for 3x3 masks, surface columns up to
  // x0 + kMeasureLanes where that is below W, the length of a surface row
  // (they fill vector lanes whose cells are dropped, and may hold anything).
  void row(const SurfaceRows& surface, int y, int x0, int x1, int W, float* fieldRow) const;

  // The tangents u[0..2], w[0..2] of pixel (y, x).
  void tangents(const SurfaceRows& surface, int y, int x, float* u, float* w) const;

 private:
  enum class Kernel { DerivativePair, AnyThreeByThree, AnySize };
  const float* mask1_;
  const float* mask2_;
  int n_;
  Kernel kernel_;
};

}  // namespace contours
