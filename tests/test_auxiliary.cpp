#include <contours/auxiliary.hpp>
#include <contours/refinement.hpp>
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

namespace contours {
namespace {

// The measures keep the precision and int arguments callers were given.
static_assert(std::is_same_v<decltype(&f0), double (*)(double, double, double)>);
static_assert(std::is_same_v<decltype(&f1), double (*)(double, double, double, int)>);
static_assert(std::is_same_v<decltype(&f2), double (*)(double, double)>);
static_assert(std::is_same_v<decltype(&f3), double (*)(double, double)>);
static_assert(std::is_same_v<decltype(&f4), float (*)(float, float)>);
static_assert(std::is_same_v<decltype(&f5), float (*)(float, float)>);
static_assert(std::is_same_v<decltype(&f6), float (*)(float, float)>);
static_assert(std::is_same_v<decltype(&f7), double (*)(double, double, int)>);
static_assert(std::is_same_v<decltype(&f8), double (*)(double, double, int)>);
static_assert(std::is_same_v<decltype(&h1), float (*)(float)>);
static_assert(std::is_same_v<decltype(&h2), float (*)(float)>);
static_assert(std::is_same_v<decltype(&h4), float (*)(float, float)>);

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr float kInfF = std::numeric_limits<float>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr float kNaNF = std::numeric_limits<float>::quiet_NaN();

// "f(a, b, ...)" for failure messages.
template <typename... Args>
std::string call(const char* name, Args... args) {
  std::ostringstream text;
  text << name << '(';
  const char* separator = "";
  ((text << separator << args, separator = ", "), ...);
  text << ')';
  return text.str();
}

// Compares bit-exactly, except that any NaN matches any NaN.
template <typename T>
void expectSame(T expected, T actual, const std::string& what) {
  if (std::isnan(expected)) {
    EXPECT_TRUE(std::isnan(actual)) << what << " gave " << actual;
  } else {
    EXPECT_EQ(expected, actual) << what;
    EXPECT_EQ(std::signbit(expected), std::signbit(actual)) << what;
  }
}

// ---------------------------------------------------------------- calcDeriv

using Surface = testsupport::Planes;
using Family = testsupport::MaskFamily;

struct Derivatives {
  float d2x[3], dxy[3], d2y[3], dx[3], dy[3];
};

Derivatives derive(Surface& s, const Family& f, int row, int column) {
  Derivatives d;
  // Garbage, so that an output that is accumulated into or left unwritten
  // shows up.
  for (float* out : {d.d2x, d.dxy, d.d2y, d.dx, d.dy})
    for (int p = 0; p < 3; ++p) out[p] = 1234.5f + static_cast<float>(p);
  calcDeriv(s.get(), f.M(2).data(), f.M(3).data(), f.M(4).data(), f.M(5).data(),
            f.M(6).data(), f.M(7).data(), d.d2x, d.dxy, d.d2y, d.dx, d.dy, f.n(), row,
            column);
  return d;
}

// A test plane and the five derivatives the family's scale gives for it at
// (row y, column x) with mask size n: {d2x, dxy, d2y, dx, dy}.
struct Plane {
  const char* name;
  std::function<float(int y, int x)> value;
  std::function<std::vector<float>(int n, int y, int x)> expected;
};

const std::vector<Plane>& planes() {
  static const std::vector<Plane> all = {
      {"column index", [](int, int x) { return float(x); },
       [](int n, int, int) { return std::vector<float>{0, 0, 0, n / 2.0f, 0}; }},
      {"row index", [](int y, int) { return float(y); },
       [](int n, int, int) { return std::vector<float>{0, 0, 0, 0, n / 2.0f}; }},
      // The smoothed first difference of x^2 is centred on the pixel: n*x.
      {"column index squared", [](int, int x) { return float(x * x); },
       [](int n, int, int x) {
         return std::vector<float>{n * (n - 1) / 2.0f, 0, 0, float(n * x), 0};
       }},
      {"row times column", [](int y, int x) { return float(y * x); },
       [](int n, int y, int x) {
         return std::vector<float>{0, n * n / 4.0f, 0, n * y / 2.0f, n * x / 2.0f};
       }},
      {"constant", [](int, int) { return 7.0f; },
       [](int, int, int) { return std::vector<float>{0, 0, 0, 0, 0}; }},
  };
  return all;
}

struct DerivCase {
  int n, row, column;
};

void PrintTo(const DerivCase& c, std::ostream* os) {
  *os << "n " << c.n << " at (" << c.row << ", " << c.column << ")";
}

class CalcDeriv : public ::testing::TestWithParam<DerivCase> {};

// Every plane of the list sits in every component in turn, so that a mask
// taken in the wrong order, a flipped or off-centre window, a wrong scale, a
// component read from the wrong plane or an output that keeps its old content
// all change some value.
TEST_P(CalcDeriv, PlanesGiveTheFamilyScaledDerivativesInEveryComponent) {
  const DerivCase c = GetParam();
  const int rows = 16, cols = 16;
  const Family family(c.n);
  const std::vector<Plane>& all = planes();
  for (size_t shift = 0; shift < all.size(); ++shift) {
    Surface surface(rows, cols, 0.0f);
    for (int p = 0; p < 3; ++p) {
      const Plane& plane = all[(shift + p) % all.size()];
      for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x) surface.at(p, y, x) = plane.value(y, x);
    }
    const Derivatives d = derive(surface, family, c.row, c.column);
    const float* outputs[] = {d.d2x, d.dxy, d.d2y, d.dx, d.dy};
    const char* names[] = {"d2x", "dxy", "d2y", "dx", "dy"};
    for (int p = 0; p < 3; ++p) {
      const Plane& plane = all[(shift + p) % all.size()];
      const std::vector<float> expected = plane.expected(c.n, c.row, c.column);
      for (int o = 0; o < 5; ++o)
        expectSame(expected[o], outputs[o][p],
                   std::string(plane.name) + " in component " + std::to_string(p) +
                       ", " + names[o]);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    MaskSizes, CalcDeriv,
    ::testing::Values(DerivCase{3, 5, 7}, DerivCase{3, 1, 14}, DerivCase{5, 6, 9},
                      DerivCase{5, 2, 13}),
    [](const ::testing::TestParamInfo<DerivCase>& info) {
      return "n" + std::to_string(info.param.n) + "_row" +
             std::to_string(info.param.row) + "_col" +
             std::to_string(info.param.column);
    });

TEST(CalcDerivValues, RepeatedCallsGiveTheSameBits) {
  const Family family(5);
  Surface surface(9, 9, 0.0f);
  unsigned state = 12345;
  for (float& v : surface.values()) {
    state = state * 1103515245u + 12345u;
    v = static_cast<float>(state >> 8) / 65536.0f - 128.0f;
  }
  const Derivatives first = derive(surface, family, 4, 4);
  const Derivatives second = derive(surface, family, 4, 4);
  EXPECT_EQ(0, std::memcmp(&first, &second, sizeof first));
}

// ---------------------------------------------------------------- measures

// Roots of x^2 + u*x + b: (1, 2, -3) has roots 2 and 1, (1, -2, -1) has 2
// and -1, (1, 2, 3) has -1 and -2, (1, 1, -2) a double root 1, (1, 3, -3) none.
TEST(Measures, F0IsTheDistanceOfRootMagnitudesAndNanForComplexRoots) {
  struct Case { double a, b, u, expected; };
  const Case cases[] = {
      {1, 2, -3, 1},
      {1, -2, -1, 1},  // opposite signs: magnitudes 2 and 1
      {1, 2, 3, 1},
      {1, 1, -2, 0},
      {2, 4, -6, 1},   // scaled coefficients, same roots
      {1, 3, -3, kNaN},
      {1, 1, kNaN, kNaN},
  };
  for (const Case& c : cases)
    expectSame(c.expected, f0(c.a, c.b, c.u),
               call("f0", c.a, c.b, c.u));
}

TEST(Measures, F1CapIsStrictAndFailedCasesAreNan) {
  struct Case { double a, b, u; int k; double expected; };
  const Case cases[] = {
      {1, 2, -3, 3, 2},        // |2| / 1^2
      {1, 2, -3, 2, kNaN},     // ratio 2 is not below 2
      {1, 2, 3, 3, 0.25},      // roots -1, -2: |-1| / (-2)^2
      {1, -2, -1, 3, 2},       // roots 2, -1: |2| / (-1)^2
      {1, 2, -3, 0, kNaN},
      {1, 2, -3, -5, kNaN},
      {1, 3, -3, 1000, kNaN},  // complex roots
  };
  for (const Case& c : cases)
    expectSame(c.expected, f1(c.a, c.b, c.u, c.k),
               call("f1", c.a, c.b, c.u, c.k));
}

// 4097^2 = 16785409 needs 25 bits: a float evaluation loses its last bit.
// (2^27 + 1)^2 = 2^54 + 2^28 + 1 needs 55: rounded to 2^54 + 2^28 before 3 is
// subtracted it gives 2^54 + 2^28 - 4, while a fused multiply-add gives
// 2^54 + 2^28.
TEST(Measures, F2AndF3AreEvaluatedInDoubleWithRoundedProducts) {
  expectSame(1.0, f2(3, 2), "f2(3, 2)");
  expectSame(13.0, f2(3, -1), "f2(3, -1)");
  expectSame(16785407.0, f2(4097, 0.5), "f2(4097, 0.5)");
  expectSame(18014398777917436.0, f2(134217729.0, 0.75), "f2(2^27 + 1, 0.75)");
  expectSame(9.0, f3(3, 2), "f3(3, 2)");
  expectSame(-27.0, f3(3, 3), "f3(3, 3)");
  expectSame(16785407.0 * 4097.0 * 4097.0, f3(4097, 0.5), "f3(4097, 0.5)");
}

TEST(Measures, F4SquaresTheSumForOppositeSignsInFloat) {
  struct Case { float a, b, expected; };
  const Case cases[] = {
      {3, -1, 9},
      {3, 2, 1},
      {3, 0, 9},
      {3, kNaNF, kNaNF},
      // float: 16785408 - 2; double or fused: 16785407, rounded to 16785408.
      {4097, 0.5f, 16785406.0f},
  };
  for (const Case& c : cases)
    expectSame(c.expected, f4(c.a, c.b),
               call("f4", c.a, c.b));
}

TEST(Measures, F5IsNanWhenNotBelowItsCap) {
  struct Case { float a, b, expected; };
  const Case cases[] = {
      {4, 3, 64.0f / 9.0f},
      {2, 1, 0},          // equal eigenvalues
      {5, 1, 525},        // m(m - 4) = 25 * 21
      {6, 1, kNaNF},      // 36 * 32 = 1152 is over 1000
      {4, 0, kNaNF},      // a zero eigenvalue: no finite ratio
      {0, 0, kNaNF},
  };
  for (const Case& c : cases)
    expectSame(c.expected, f5(c.a, c.b),
               call("f5", c.a, c.b));
}

TEST(Measures, F6IsOneForOppositeSignsAndNanForNanDeterminant) {
  struct Case { float a, b, expected; };
  const Case cases[] = {
      {4, 3, 0.25f},
      {2, -1, 1},
      {2, 1, 0},
      {2, 0, 1},
      {0, 1, -kInfF},   // 1 - 4/0
      {0, 0, kNaNF},    // cap 0 > 0 fails
      {2, kNaNF, kNaNF},
  };
  for (const Case& c : cases)
    expectSame(c.expected, f6(c.a, c.b),
               call("f6", c.a, c.b));
}

TEST(Measures, F7CapIsStrict) {
  struct Case { double a, b; int k; double expected; };
  const Case cases[] = {
      {2, 1, 100, 16},
      {2, 1, 16, kNaN},   // 16 is not below 16
      {2, 1, 17, 16},
      {2, -1, 17, 16},
      {4, 2, 100, 64},
      {2, 0, INT_MAX, kNaN},
      {0, 1, 0, kNaN},
  };
  for (const Case& c : cases)
    expectSame(c.expected, f7(c.a, c.b, c.k),
               call("f7", c.a, c.b, c.k));
}

TEST(Measures, F8IgnoresKAndIsNanForNanDeterminant) {
  struct Case { double a, b, expected; };
  const Case cases[] = {
      {4, 3, 0.25},
      {2, -1, 1},
      {2, 1, 0},
      {0, 1, -kInf},
      {0, 0, kNaN},
      {2, kNaN, kNaN},
  };
  for (const Case& c : cases)
    for (int k : {0, 7, -5, INT_MAX, INT_MIN})
      expectSame(c.expected, f8(c.a, c.b, k),
                 call("f8", c.a, c.b, k));
}

TEST(Measures, H1ReturnsItsArgumentBitForBit) {
  for (float a : {0.0f, -0.0f, 1.5f, -3.25e-38f, kInfF, -kInfF,
                  std::numeric_limits<float>::denorm_min()})
    expectSame(a, h1(a), call("h1", a));
  EXPECT_TRUE(std::isnan(h1(kNaNF)));
}

TEST(Measures, H2IsSymmetricInARatioAndItsInverse) {
  struct Case { float a, expected; };
  const Case cases[] = {
      {1, 0},    {2, 1},   {0.5f, 1}, {4, 3}, {0.25f, 3},
      {0, kInfF}, {-2, -1.5f}, {kNaNF, kNaNF},
  };
  for (const Case& c : cases)
    expectSame(c.expected, h2(c.a), call("h2", c.a));
}

TEST(Measures, H4OrdersBySignedValueAndDividesMagnitudes) {
  struct Case { float a, b, expected; };
  const Case cases[] = {
      {2, 8, 4},       {8, 2, 4},     {2, -8, 0.25f}, {-8, 2, 0.25f},
      {-2, -8, 0.25f}, {3, 3, 1},     {0, 5, kInfF},  {0, 0, kNaNF},
      {kNaNF, 2, kNaNF},
  };
  for (const Case& c : cases)
    expectSame(c.expected, h4(c.a, c.b),
               call("h4", c.a, c.b));
}

}  // namespace
}  // namespace contours
