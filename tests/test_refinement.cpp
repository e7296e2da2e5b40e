// The binomial mask family and the pixel-level measure around marked blocks.

#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <contours/refinement.hpp>
#include <contours/surface.hpp>
#include <contours/contours.hpp>
#include "test_support.hpp"

namespace {

using Family = testsupport::MaskFamily;

// u (x) v, u vertical, v horizontal, each divided by its sum.
std::vector<float> outer(std::vector<double> u, std::vector<double> v) {
  const double su = std::accumulate(u.begin(), u.end(), 0.0);
  const double sv = std::accumulate(v.begin(), v.end(), 0.0);
  std::vector<float> m;
  for (double a : u)
    for (double b : v) m.push_back(static_cast<float>(a / su * b / sv));
  return m;
}

TEST(GenericMatr, SizeThreeGivesTheBinomialMembersAndScaledSobelMasks) {
  const Family f(3);
  EXPECT_EQ(f.M(1), outer({0, 0, 1}, {0, 0, 1}));
  EXPECT_EQ(f.M(2), outer({0, 0, 1}, {1, 2, 1}));
  EXPECT_EQ(f.M(3), outer({0, 1, 1}, {1, 2, 1}));
  EXPECT_EQ(f.M(4), outer({1, 2, 1}, {1, 2, 1}));
  EXPECT_EQ(f.M(5), outer({1, 2, 1}, {0, 1, 1}));
  EXPECT_EQ(f.M(6), outer({1, 2, 1}, {0, 0, 1}));
  EXPECT_EQ(f.M(7), outer({0, 1, 1}, {0, 1, 1}));
  const float e = 0.1875f, q = 0.375f;
  EXPECT_EQ(f.d1(), (std::vector<float>{-e, 0, e, -q, 0, q, -e, 0, e}));
  EXPECT_EQ(f.d2(), (std::vector<float>{-e, -q, -e, 0, 0, 0, e, q, e}));
}

TEST(GenericMatr, LargerSizesFollowTheBinomialClosedForm) {
  const Family four(4);
  EXPECT_EQ(four.M(1), outer({0, 0, 1, 1}, {0, 0, 1, 1}));
  EXPECT_EQ(four.M(4), outer({1, 3, 3, 1}, {1, 3, 3, 1}));
  const Family five(5);
  EXPECT_EQ(five.M(4), outer({1, 4, 6, 4, 1}, {1, 4, 6, 4, 1}));
  const std::vector<float> d1 = five.d1();
  const std::vector<float> middle(d1.begin() + 10, d1.begin() + 15);
  EXPECT_EQ(middle, (std::vector<float>{-15 / 128.0f, -15 / 64.0f, 0, 15 / 64.0f, 15 / 128.0f}));
}

TEST(GenericMatr, MembersAreNormalisedAndPairedByTransposition) {
  for (int n = 3; n <= 15; ++n) {
    SCOPED_TRACE(n);
    const Family f(n);
    auto transposed = [n](const std::vector<float>& m) {
      std::vector<float> t(m.size());
      for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) t[j * n + i] = m[i * n + j];
      return t;
    };
    for (int k = 1; k <= 7; ++k) {
      double sum = 0;
      for (float v : f.M(k)) sum += v;
      EXPECT_EQ(sum, 1.0) << "M" << k;
    }
    EXPECT_EQ(f.M(5), transposed(f.M(3)));
    EXPECT_EQ(f.M(6), transposed(f.M(2)));
    for (int k : {1, 4, 7}) EXPECT_EQ(f.M(k), transposed(f.M(k))) << "M" << k;
    EXPECT_EQ(f.d2(), transposed(f.d1()));
  }
}

// n * n was formed in int: from 46341 on it overflowed and the seed went
// outside the arrays.
TEST(GenericMatr, SizesBelowOneOrWithASquarePastIntAreRefusedBeforeAnyWrite) {
  float arrays[7][1] = {{5}, {5}, {5}, {5}, {5}, {5}, {5}};
  for (int n : {0, -3, 46341, std::numeric_limits<int>::max()})
    EXPECT_THROW(contours::genericMatr(arrays[0], arrays[1], arrays[2], arrays[3], arrays[4],
                                       arrays[5], arrays[6], n),
                 std::invalid_argument);
  for (const auto& a : arrays) EXPECT_EQ(a[0], 5.0f);
  // Sizes 1 and 2 stay inside their arrays; the family's closed form starts at 3.
  const Family one(1), two(2);
  EXPECT_EQ(one.M(1), std::vector<float>{1.0f});
  EXPECT_EQ(two.M(1), (std::vector<float>{0, 0, 0, 1}));
}

// The pixel surface of an image, with a zeroed pixel field and a block mask in
// which the test marks candidates.
struct FineStage {
  explicit FineStage(const cv::Mat& image)
      : H(image.rows), W(image.cols), family(3),
        pixel(H, W, 0.0f), block(H / 3, W / 3, 0.0f),
        field(static_cast<size_t>(H) * W, 0.0f),
        blockMask(static_cast<size_t>(H / 3) * (W / 3), 255) {
    std::vector<float> blockField(blockMask.size(), 0.0f);
    std::vector<int> histogram(contours::kBins, 0);
    contours::processImage(image, blockField.data(), pixel.get(), block.get(),
                           histogram.data(), H, W, contours::kBins);
  }
  void mark(int bi, int bj) { blockMask[bi * (W / 3) + bj] = 0; }
  void run() {
    auto d1 = family.d1(), d2 = family.d2();
    contours::calcFineContours(field.data(), blockMask.data(), pixel.get(), d1.data(),
                               d2.data(), H / 3, W / 3, W, 3);
  }
  bool computed(int y, int x) const { return field[static_cast<size_t>(y) * W + x] != 0.0f; }
  int computedCount() const {
    return static_cast<int>(std::count_if(field.begin(), field.end(), [](float v) { return v != 0.0f; }));
  }

  int H, W;
  Family family;
  testsupport::Planes pixel, block;
  std::vector<float> field;
  std::vector<unsigned char> blockMask;
};

cv::Mat noise(int rows, int cols) {
  cv::Mat image(rows, cols, CV_8UC3);
  cv::RNG rng(7);
  rng.fill(image, cv::RNG::UNIFORM, 0, 256);
  return image;
}

TEST(CalcFineContours, CandidateFillsExactlyItsBlockNeighbourhood) {
  FineStage stage(noise(30, 33));
  stage.mark(4, 5);
  stage.run();
  for (int y = 0; y < stage.H; ++y)
    for (int x = 0; x < stage.W; ++x)
      EXPECT_EQ(stage.computed(y, x), y >= 9 && y < 18 && x >= 12 && x < 21) << y << "," << x;
}

TEST(CalcFineContours, BlocksInTheOuterTwoRowsAndColumnsAreNeverCandidates) {
  FineStage stage(noise(30, 33));  // 10 x 11 blocks
  for (int bi = 0; bi < 10; ++bi)
    for (int bj = 0; bj < 11; ++bj)
      if (bi < 2 || bi >= 8 || bj < 2 || bj >= 9) stage.mark(bi, bj);
  stage.run();
  EXPECT_EQ(stage.computedCount(), 0);
}

TEST(CalcFineContours, SharedNeighboursAreComputedOnceAndMarkedBlocksAreKept) {
  FineStage stage(noise(30, 33));
  // Block (3, 5) counts as computed already: a non-zero first cell, even NaN.
  stage.field[9 * 33 + 15] = std::nanf("");
  stage.mark(4, 5);
  stage.mark(4, 6);
  stage.run();
  for (int y = 9; y < 12; ++y)
    for (int x = 15; x < 18; ++x)
      if (y != 9 || x != 15) {
        EXPECT_FALSE(stage.computed(y, x)) << y << "," << x;
      }
  // Twelve blocks in the union, one of them skipped.
  EXPECT_EQ(stage.computedCount(), 11 * 9 + 1);

  // Each block's values depend only on the surface: the same as computing the
  // two neighbourhoods separately.
  FineStage left(noise(30, 33)), right(noise(30, 33));
  left.mark(4, 5);
  left.run();
  right.mark(4, 6);
  right.run();
  for (int y = 9; y < 18; ++y)
    for (int x = 18; x < 21; ++x)
      EXPECT_TRUE(testsupport::sameBits(left.field[y * 33 + x], right.field[y * 33 + x]));
}

TEST(CalcFineContours, UniformGreyIsConformalAtEveryComputedPixel) {
  FineStage stage(cv::Mat(24, 27, CV_8UC3, cv::Scalar(128, 128, 128)));
  for (int bi = 2; bi < 6; ++bi)
    for (int bj = 2; bj < 7; ++bj) stage.mark(bi, bj);
  stage.run();
  for (int y = 0; y < 24; ++y)
    for (int x = 0; x < 27; ++x) {
      const bool inside = y >= 3 && y < 21 && x >= 3 && x < 24;
      EXPECT_EQ(stage.field[y * 27 + x], inside ? 4.0f : 0.0f) << y << "," << x;
    }
}

TEST(CalcFineContours, FewerThanFiveBlockRowsOrColumnsHaveNoCandidates) {
  for (const cv::Size size : {cv::Size(30, 14), cv::Size(14, 30)}) {
    FineStage stage(noise(size.height, size.width));
    std::fill(stage.blockMask.begin(), stage.blockMask.end(), 0);
    stage.run();
    EXPECT_EQ(stage.computedCount(), 0) << size;
  }
}

}  // namespace
