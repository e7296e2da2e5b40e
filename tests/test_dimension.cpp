// Two-scale box counting and the least-squares line fit.

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include <contours/dimension.hpp>
#include "test_support.hpp"

namespace {

using contours::BowCountingDimension;
using contours::NormalEquations2d;
using testsupport::sameBits;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

float lnCount(int count) { return static_cast<float>(std::log(static_cast<double>(count))); }

// The samples the box counter gives for box size 8 and the given counts.
std::vector<float> keys8() {
  return {static_cast<float>(std::log(1.0 / 8)), static_cast<float>(std::log(1.0 / 4))};
}

TEST(NormalEquations2d, FitsInFloatThroughTheExplicitInverse) {
  struct Case {
    std::vector<float> y, x;
    float slope, intercept;
  };
  const Case cases[] = {
      {{1, 2}, {0, 1}, 1.0f, 1.0f},
      // The float weights do not cancel exactly: not (2, 1).
      {{1, 3, 5}, {0, 1, 2}, 2.0f, 1.0000004f},
      // 100 boxes and 300 quarters: log2(3) = 1.5849625 in exact arithmetic.
      {{lnCount(100), lnCount(300)}, keys8(), 1.5849619f, 7.901021f},
  };
  for (const Case& c : cases) {
    const std::vector<float> result = NormalEquations2d(c.y, c.x);
    ASSERT_EQ(result.size(), 2u);
    EXPECT_TRUE(sameBits(result[0], c.slope));
    EXPECT_TRUE(sameBits(result[1], c.intercept));
  }
}

TEST(NormalEquations2d, BoxCountSlopesCarryTheWeightsRounding) {
  EXPECT_TRUE(sameBits(NormalEquations2d({lnCount(1), lnCount(1)}, keys8())[0], 0.0f));
  EXPECT_TRUE(sameBits(NormalEquations2d({lnCount(2), lnCount(2)}, keys8())[0], -3.5762787e-07f));
  EXPECT_TRUE(sameBits(NormalEquations2d({lnCount(1), lnCount(4)}, keys8())[0], 2.0000021f));
  EXPECT_TRUE(sameBits(NormalEquations2d({lnCount(100), lnCount(400)}, keys8())[0], 2.0f));
}

TEST(NormalEquations2d, DegenerateInputsGiveTheirIeeeResults) {
  // No occupied box at either scale: both values are -infinity.
  const auto empty = NormalEquations2d({-kInf, -kInf}, keys8());
  EXPECT_TRUE(std::isnan(empty[0]) && std::isnan(empty[1]));
  // All abscissae equal: the determinant is 0.
  const auto flat = NormalEquations2d({1, 2}, {2, 2});
  EXPECT_TRUE(std::isnan(flat[0]) && std::isnan(flat[1]));
  // No sample: nothing to weigh.
  EXPECT_EQ(NormalEquations2d({}, {}), (std::vector<float>{0.0f, 0.0f}));
  // Only the first x.size() observations are read.
  EXPECT_EQ(NormalEquations2d({1, 2, 99}, {0, 1}), (std::vector<float>{1.0f, 1.0f}));
  EXPECT_THROW(NormalEquations2d({1}, {0, 1}), std::invalid_argument);
}

// A rows x cols field of zeros with the listed cells set to value.
std::vector<float> fieldWith(int rows, int cols, std::vector<int> cells, float value = 10.0f) {
  std::vector<float> field(static_cast<size_t>(rows) * cols, 0.0f);
  for (int cell : cells) field[cell] = value;
  return field;
}

struct Counts {
  int coarse, fine;
};

void expectCounts(const contours::DimensionSamples& samples, Counts expected) {
  ASSERT_EQ(samples.size(), 2u);
  const auto coarse = samples.begin();
  const auto fine = std::next(coarse);
  EXPECT_TRUE(sameBits(coarse->first, -2.0794415f));
  EXPECT_TRUE(sameBits(fine->first, -1.3862944f));
  EXPECT_TRUE(sameBits(coarse->second, lnCount(expected.coarse)));
  EXPECT_TRUE(sameBits(fine->second, lnCount(expected.fine)));
}

TEST(BowCountingDimension, CountsOccupiedBoxesAndQuarters) {
  struct Case {
    const char* what;
    int rows, cols;
    std::vector<int> cells;
    Counts counts;
  };
  const Case cases[] = {
      {"nothing qualifies", 16, 24, {}, {0, 0}},
      {"row 0 column 20: box (0,2), quarter (0,1)", 16, 24, {20}, {1, 1}},
      {"row 15 column 23: box (1,2), quarter (1,1)", 16, 24, {383}, {1, 1}},
      {"both corners of the last box column", 16, 24, {20, 383}, {2, 2}},
      {"two cells in one quarter", 16, 24, {0, 25}, {1, 1}},
      {"two quarters of one box", 16, 24, {0, 4}, {1, 2}},
      {"quarters along the diagonal", 16, 24, {0, 4 * 24 + 4}, {1, 2}},
      {"outside the counted 16x16 extent", 20, 20, {16, 17 * 20 + 3, 19 * 20 + 19}, {0, 0}},
      {"inside and outside the extent", 20, 20, {15 * 20 + 15, 19 * 20 + 19}, {1, 1}},
      {"fewer rows than a box", 7, 40, {0, 5, 39}, {0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto field = fieldWith(c.rows, c.cols, c.cells);
    expectCounts(BowCountingDimension(field.data(), c.rows, c.cols, 5.0f, 8), c.counts);
  }
}

TEST(BowCountingDimension, EveryCellQualifyingFillsEveryQuarter) {
  const std::vector<float> field(16 * 24, 1.0f);
  expectCounts(BowCountingDimension(field.data(), 16, 24, 1.0f, 8), {6, 24});
}

TEST(BowCountingDimension, ComparisonIsOrderedAndInclusive) {
  const auto nanCell = fieldWith(16, 16, {0}, kNaN);
  expectCounts(BowCountingDimension(nanCell.data(), 16, 16, 0.5f, 8), {0, 0});
  const auto infCell = fieldWith(16, 16, {0}, kInf);
  expectCounts(BowCountingDimension(infCell.data(), 16, 16, 1e30f, 8), {1, 1});
  const auto equalCell = fieldWith(16, 16, {0}, 5.0f);
  expectCounts(BowCountingDimension(equalCell.data(), 16, 16, 5.0f, 8), {1, 1});
  const std::vector<float> full(16 * 16, 1.0f);
  expectCounts(BowCountingDimension(full.data(), 16, 16, kNaN, 8), {0, 0});
}

TEST(BowCountingDimension, RefusesBoxSizesWithoutQuarters) {
  const std::vector<float> field(16 * 16, 1.0f);
  for (int size : {-2, 0, 1, 3, 7})
    EXPECT_THROW(BowCountingDimension(field.data(), 16, 16, 1.0f, size), std::invalid_argument)
        << size;
  EXPECT_NO_THROW(BowCountingDimension(field.data(), 16, 16, 1.0f, 2));
}

}  // namespace
