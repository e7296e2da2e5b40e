#pragma once
// Auxiliary measures: second derivatives of the colour surface at one pixel,
// and scalar measures of how unequal the two eigenvalues l1, l2 of a 2x2
// symmetric matrix (such as the surface metric E, F, G) are. Nothing in the
// analysis pipeline calls them.
//
// The measures take either the trace and determinant, a = l1 + l2 and
// b = l1 * l2 (so a*a/b is the pipeline's anisotropy measure and a*a - 4*b is
// (l1 - l2)^2), or the coefficients a, b, u of the characteristic quadratic
// a*x^2 + u*x + b (with a = 1, u = -(l1 + l2), b = l1 * l2 its roots are l1
// and l2). Each is evaluated in its own precision, in the order its comment
// writes, every product rounded before it is added; caps are strict. Where a
// measure has no defined value (a failed cap, a negative discriminant, a NaN
// determinant where noted) it returns a quiet NaN; division by zero otherwise
// gives the IEEE result unchanged.

namespace contours {

// Estimates, at pixel (row, column) of a three-plane surface (plane -> row ->
// column), the derivatives of the surface point along the column index
// (x) and the row index (y), one component per plane:
//   d2x = d2/dx2, dxy = d2/dxdy, d2y = d2/dy2, dx = d/dx, dy = d/dy.
// mask1..mask6 are the members M2..M7 of the family genericMatr builds for the
// same n (n x n, row-major); each is correlated with the n x n window centred
// on the pixel (element (i, j) weights the sample at offset (i - n/2, j - n/2)),
// summing in row-major window order. Scales follow the family: a plane equal
// to the column index gives n/2 in dx, its square n*(n-1)/2 in d2x.
// The five outputs are wholly overwritten; the window must lie inside the
// surface, which is only read.
void calcDeriv(const float* const* const* surface, const float* mask1,
               const float* mask2, const float* mask3, const float* mask4,
               const float* mask5, const float* mask6, float* d2x, float* dxy,
               float* d2y, float* dx, float* dy, int n, int row, int column);

// ||l1| - |l2||, from the roots of a*x^2 + u*x + b found with
// D = u*u - (4*a)*b. NaN when D < 0 (complex roots) or D is NaN.
double f0(double a, double b, double u);

// |lmax| / lmin^2 (signed order of the roots of a*x^2 + u*x + b), when that
// ratio is below k: (lmin*lmin)*k > |lmax|, strict. NaN when the cap test
// fails or when the discriminant is negative or NaN.
double f1(double a, double b, double u, int k);

// (l1 - l2)^2 = a*a - 4*b.
double f2(double a, double b);

// (l1 - l2)^2 * (l1 + l2)^2 = ((a*a - 4*b)*a)*a.
double f3(double a, double b);

// (l1 + l2)^2 = a*a when b < 0 (eigenvalues of opposite sign), otherwise
// (l1 - l2)^2 = a*a - 4*b (a NaN b included).
float f4(float a, float b);

// m*(m - 4) with m = a*a/b, i.e. (l1 - l2)^2 (l1 + l2)^2 / (l1 l2)^2, as
// q/(b*b) with q = ((a*a - 4*b)*a)*a, when below 1000: (1000*b)*b > q,
// strict. NaN when the cap test fails.
float f5(float a, float b);

// ((l1 - l2)/(l1 + l2))^2 = 1 - (4*b)/(a*a) when b >= 0 and
// (1000*a)*a > a*a - 4*b (strict); 1 when b < 0. NaN when the cap test fails
// (only a = b = 0 or a NaN a) or b is NaN. a = 0 with b > 0 gives -infinity.
float f6(float a, float b);

// m^2 with m = a*a/b, i.e. (l1 + l2)^4 / (l1 l2)^2, as q/(b*b) with
// q = ((a*a)*a)*a, when below k: (k*b)*b > q, strict. NaN when the cap test
// fails.
double f7(double a, double b, int k);

// ((l1 - l2)/(l1 + l2))^2 = (a*a - 4*b)/(a*a) when b >= 0; 1 when b < 0;
// NaN when b is NaN. k is accepted and not used. (0, 0) gives NaN.
double f8(double a, double b, int k);

// The ratio a itself, unchanged.
float h1(float a);

// Distance of a ratio of eigenvalues from 1, the same for a and 1/a when
// a > 0: a - 1 when a >= 1, otherwise (NaN included) 1/a - 1. h2(0) is
// +infinity.
float h2(float a);

// |max| / |min| of two eigenvalues ordered by signed value: |b|/|a| when
// b > a, otherwise (equal values or NaN included) |a|/|b|. (0, 0) gives NaN.
float h4(float a, float b);

}  // namespace contours
