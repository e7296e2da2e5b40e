#include <contours/auxiliary.hpp>

#include <cmath>
#include <limits>

namespace contours {

void calcDeriv(const float* const* const* surface, const float* mask1,
               const float* mask2, const float* mask3, const float* mask4,
               const float* mask5, const float* mask6, float* d2x, float* dxy,
               float* d2y, float* dx, float* dy, int n, int row, int column) {
  float* const outputs[] = {d2x, dxy, d2y, dx, dy};
  for (float* out : outputs)
    for (int p = 0; p < 3; ++p) out[p] = 0.0f;

  const float* const masks[6] = {mask1, mask2, mask3, mask4, mask5, mask6};
  float A[6][3] = {};
  const int half = n / 2;
  // Every sum runs over the window in row-major order, each product rounded
  // to float before it is added, so a result does not depend on the build.
  for (int i = 0; i < n; ++i) {
    const int y = row + i - half;
    for (int j = 0; j < n; ++j) {
      const int x = column + j - half;
      for (int m = 0; m < 6; ++m) {
        const float weight = masks[m][i * n + j];
        for (int p = 0; p < 3; ++p) A[m][p] = surface[p][y][x] * weight + A[m][p];
      }
    }
  }

  // The factors undo the averaging scale of the family: each first difference
  // of members carries a factor 1/n, a second difference 1/(n*(n-1)) or 1/n^2.
  const float second = static_cast<float>(n * (n - 1));
  const float mixed = static_cast<float>(n * n);
  const float first = static_cast<float>(n);
  for (int p = 0; p < 3; ++p) {
    const float A1 = A[0][p], A2 = A[1][p], A3 = A[2][p];
    const float A4 = A[3][p], A5 = A[4][p], A6 = A[5][p];
    d2x[p] = ((A3 - (A4 + A4)) + A5) * second;
    d2y[p] = ((A3 - (A2 + A2)) + A1) * second;
    dxy[p] = (((A6 - A2) - A4) + A3) * mixed;
    dx[p] = (A4 - A3) * first;
    dy[p] = (A2 - A3) * first;
  }
}

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr float kNaNf = std::numeric_limits<float>::quiet_NaN();

// The two roots of a*x^2 + u*x + b, r1 with +sqrt(D) and r2 with -sqrt(D).
// Returns false when D is negative or NaN.
bool quadraticRoots(double a, double b, double u, double& r1, double& r2) {
  const double D = u * u - (4.0 * a) * b;
  double s;
  if (D > 0.0)
    s = std::sqrt(D);
  else if (D == 0.0)
    s = 0.0;
  else
    return false;
  r1 = (s - u) / (a + a);
  r2 = (-u - s) / (a + a);
  return true;
}

}  // namespace

double f0(double a, double b, double u) {
  double r1, r2;
  if (!quadraticRoots(a, b, u, r1, r2)) return kNaN;
  return std::fabs(std::fabs(r1) - std::fabs(r2));
}

double f1(double a, double b, double u, int k) {
  double r1, r2;
  if (!quadraticRoots(a, b, u, r1, r2)) return kNaN;
  const double X = std::fabs(r1 < r2 ? r2 : r1);
  const double m = r2 < r1 ? r2 : r1;
  if ((m * m) * static_cast<double>(k) > X) return X / (m * m);
  return kNaN;
}

double f2(double a, double b) { return a * a - 4.0 * b; }

double f3(double a, double b) { return ((a * a - 4.0 * b) * a) * a; }

float f4(float a, float b) {
  if (b < 0.0f) return a * a;
  return a * a - 4.0f * b;
}

float f5(float a, float b) {
  const float q = ((a * a - 4.0f * b) * a) * a;
  if ((static_cast<float>(1000) * b) * b > q) return q / (b * b);
  return kNaNf;
}

float f6(float a, float b) {
  if (b < 0.0f) return 1.0f;
  if (b >= 0.0f) {
    const float d = a * a - 4.0f * b;
    if ((static_cast<float>(1000) * a) * a > d) return 1.0f - (4.0f * b) / (a * a);
  }
  return kNaNf;
}

double f7(double a, double b, int k) {
  const double q = ((a * a) * a) * a;
  if ((static_cast<double>(k) * b) * b > q) return q / (b * b);
  return kNaN;
}

double f8(double a, double b, int /*k*/) {
  if (b < 0.0) return 1.0;
  if (b >= 0.0) return (a * a - 4.0 * b) / (a * a);
  return kNaN;
}

float h1(float a) { return a; }

float h2(float a) {
  if (a >= 1.0f) return a - 1.0f;
  return 1.0f / a - 1.0f;
}

float h4(float a, float b) {
  if (b > a) return std::fabs(b) / std::fabs(a);
  return std::fabs(a) / std::fabs(b);
}

}  // namespace contours
