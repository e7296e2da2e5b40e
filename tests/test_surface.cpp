// The colour surfaces, the block measure and its histogram.

#include <algorithm>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <contours/contours.hpp>
#include <contours/surface.hpp>
#include "plain_reference.hpp"
#include "surface/surface_rows.hpp"
#include "test_support.hpp"

namespace {

constexpr float kUntouched = -7.5f;  // a value no stage writes

struct SurfaceRun {
  SurfaceRun(const cv::Mat& image)
      : H(image.rows), W(image.cols),
        pixel(H, W, kUntouched), block(H / 3, W / 3, kUntouched),
        field(static_cast<size_t>(H / 3) * (W / 3), kUntouched),
        histogram(contours::kBins, 0) {
    contours::processImage(image, field.data(), pixel.get(), block.get(),
                           histogram.data(), H, W, contours::kBins);
  }
  int H, W;
  testsupport::Planes pixel, block;
  std::vector<float> field;
  std::vector<int> histogram;
};

// Negative sizes once sized working vectors with a negative count, and with no
// bins a measure in (-1, 0) would still have counted in bin 0.
TEST(ProcessImage, SizesWithNoBlocksOrNoBinsTouchNothing) {
  const cv::Mat image(9, 9, CV_8UC3, cv::Scalar(90, 40, 200));
  testsupport::Planes pixel(9, 9, kUntouched), block(3, 3, kUntouched);
  std::vector<float> field(9, kUntouched);
  int histogram[2] = {-1, -1};
  const int sizes[][2] = {{-9, 9}, {9, -9}, {-9, -9}, {2, 9}, {9, 2}};
  for (const auto& size : sizes)
    contours::processImage(image, field.data(), pixel.get(), block.get(), histogram,
                           size[0], size[1], 2);
  EXPECT_EQ(field, std::vector<float>(9, kUntouched));
  EXPECT_EQ(pixel.get()[0][0][0], kUntouched);
  EXPECT_EQ(block.get()[0][0][0], kUntouched);
  for (const int bins : {0, -5})
    contours::processImage(image, field.data(), pixel.get(), block.get(), histogram, 9, 9,
                           bins);
  EXPECT_EQ(histogram[0], -1);
  EXPECT_EQ(histogram[1], -1);
}

TEST(ProcessImage, UniformGreyIsConformalEverywhereAndFillsBinFour) {
  for (const cv::Size size : {cv::Size(9, 9), cv::Size(31, 20), cv::Size(17, 44)}) {
    SCOPED_TRACE(testing::Message() << size);
    const cv::Mat grey(size, CV_8UC3, cv::Scalar(90, 90, 90));
    SurfaceRun run(grey);
    const int rows = run.H / 3, cols = run.W / 3;
    for (int j = 0; j < rows; ++j)
      for (int k = 0; k < cols; ++k) {
        const bool computed = j < rows - 2 && k < cols - 2;
        EXPECT_EQ(run.field[j * cols + k], computed ? 4.0f : kUntouched)
            << "cell " << j << "," << k;
      }
    std::vector<int> expected(contours::kBins, 0);
    expected[4] = (rows - 2) * (cols - 2);
    EXPECT_EQ(run.histogram, expected);
  }
}

TEST(ProcessImage, SurfacePointFollowsChannelOrderAndPosition) {
  // One block of white with a coloured pixel per case; the pixel surface point
  // is (20*row + opponent 1, 20*col + opponent 2, inverted intensity).
  struct Case {
    cv::Vec3b bgr;
    int row, col;
    float p0, p1, p2;
  };
  const Case cases[] = {
      {{255, 255, 255}, 2, 5, 40.0f, 100.0f, 0.0f},
      {{0, 0, 0}, 0, 0, 0.0f, 0.0f, 441.67294f},
      {{0, 0, 255}, 0, 0, -104.10332f, 180.31223f, 294.44864f},  // red
      {{255, 0, 0}, 0, 0, 208.20663f, 0.0f, 294.44864f},         // blue
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bgr << " at " << c.row << "," << c.col);
    cv::Mat image(9, 9, CV_8UC3, cv::Scalar(255, 255, 255));
    image.at<cv::Vec3b>(c.row, c.col) = c.bgr;
    SurfaceRun run(image);
    EXPECT_FLOAT_EQ(run.pixel.at(0, c.row, c.col), c.p0);
    EXPECT_FLOAT_EQ(run.pixel.at(1, c.row, c.col), c.p1);
    EXPECT_FLOAT_EQ(run.pixel.at(2, c.row, c.col), c.p2);
  }
}

TEST(ProcessImage, BlockPointUsesTruncatedMeanColourAndFirstPixelPosition) {
  // Block (1, 2) holds one black pixel among white: each inverted channel sums
  // to 255, whose ninth truncates to 28.
  cv::Mat image(9, 9, CV_8UC3, cv::Scalar(255, 255, 255));
  image.at<cv::Vec3b>(4, 7) = cv::Vec3b(0, 0, 0);
  SurfaceRun run(image);
  const float k3 = static_cast<float>(1.0 / std::sqrt(3.0));
  EXPECT_EQ(run.block.at(0, 1, 2), 60.0f);
  EXPECT_EQ(run.block.at(1, 1, 2), 120.0f);
  EXPECT_EQ(run.block.at(2, 1, 2), 84.0f * k3);
  EXPECT_EQ(run.block.at(2, 0, 0), 0.0f);
}

TEST(ProcessImage, OnlyCompleteBlocksAreReadAndWritten) {
  // rows, cols, block-field cells expected
  const int cases[][3] = {{9, 9, 1}, {8, 30, 0}, {30, 8, 0}, {10, 9, 1}, {11, 9, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c[0] << "x" << c[1]);
    const cv::Mat image(c[0], c[1], CV_8UC3, cv::Scalar(10, 200, 30));
    SurfaceRun run(image);
    int written = 0;
    for (float v : run.field) written += v != kUntouched;
    EXPECT_EQ(written, c[2]);
    int counted = 0;
    for (int n : run.histogram) counted += n;
    EXPECT_EQ(counted, c[2]);
    // Pixel rows past the last complete block are neither read nor written.
    for (int y = 0; y < run.H; ++y)
      for (int x = 0; x < run.W; ++x)
        for (int p = 0; p < 3; ++p)
          EXPECT_EQ(run.pixel.at(p, y, x) == kUntouched, y >= 3 * (run.H / 3) || x >= 3 * (run.W / 3))
              << "plane " << p << " at " << y << "," << x;
  }
}

TEST(ProcessImage, MeasuresPastTheLastBinAreStoredButNotCounted) {
  // Three block colours whose tangents are nearly parallel: the colour shifts
  // almost cancel the spatial steps, so the measure is in the millions.
  cv::Mat image(9, 9, CV_8UC3, cv::Scalar(255, 255, 255));
  image(cv::Rect(0, 0, 3, 3)) = cv::Scalar(94, 189, 129);
  image(cv::Rect(3, 0, 3, 3)) = cv::Scalar(178, 157, 96);
  image(cv::Rect(0, 3, 3, 3)) = cv::Scalar(253, 29, 177);
  SurfaceRun run(image);
  EXPECT_GT(run.field[0], 1e6f);
  EXPECT_EQ(run.histogram, std::vector<int>(contours::kBins, 0));
}

// processBlocks in bands: each band makes the block surface rows its measured
// rows read, and the histogram is the sum of the bands' counts, so the number
// of bands changes nothing, also where a band has one block row or none,
// where nothing is measured, and on images narrower than a vector of blocks.
TEST(ProcessBlocks, AnyNumberOfBandsGivesTheSameFieldAndHistogram) {
  const cv::Size sizes[] = {{60, 15}, {61, 17}, {10, 9},    {30, 8},
                            {20, 40}, {23, 100}, {3000, 12}, {300, 300}, {299, 301}};
  cv::RNG random(5);
  for (const cv::Size size : sizes) {
    SCOPED_TRACE(testing::Message() << size);
    // Noise, and a flat area whose measures all fall into one bin.
    cv::Mat image(size, CV_8UC3);
    random.fill(image, cv::RNG::UNIFORM, 0, 256);
    image(cv::Rect(0, 0, size.width / 2, size.height / 2)).setTo(cv::Scalar(40, 90, 160));
    const int H = size.height, W = size.width;
    const size_t cells = static_cast<size_t>(H / 3) * (W / 3);
    struct Result {
      std::vector<float> field;
      std::vector<int> histogram;
    };
    const auto run = [&](int bands) {
      // The histogram is added to, not replaced.
      Result r{std::vector<float>(cells, kUntouched), std::vector<int>(contours::kBins, 3)};
      contours::processBlocks(image, r.field.data(), r.histogram.data(), H, W,
                              contours::kBins, bands);
      return r;
    };
    const Result one = run(1);
    for (const int bands : {2, 3, 7}) {
      const Result many = run(bands);
      EXPECT_EQ(std::memcmp(many.field.data(), one.field.data(), cells * sizeof(float)), 0)
          << bands << " bands";
      EXPECT_EQ(many.histogram, one.histogram) << bands << " bands";
    }
  }
}

// The block row is made sixteen blocks at a time where the processor allows,
// the rest one at a time: every width around a group's end (15 to 20 blocks,
// the last rows of a group unmeasured or measured), with sixteen blocks in
// one bin and measures past the bins, against the plain pass.
TEST(ProcessBlocks, GroupsOfBlocksAndTheirEndsMatchThePlainPass) {
  cv::RNG random(11);
  for (int W = 45; W <= 62; ++W)
    for (const int H : {9, 12, 31}) {
      SCOPED_TRACE(testing::Message() << H << " x " << W);
      cv::Mat image(H, W, CV_8UC3);
      random.fill(image, cv::RNG::UNIFORM, 0, 256);
      // Block row 0 grey over 17 blocks (16 measures of exactly 4), and three
      // blocks below whose measure is in the millions.
      image(cv::Rect(0, 0, std::min(W, 51), 6)).setTo(cv::Scalar(90, 90, 90));
      if (H >= 12) {
        image(cv::Rect(0, 6, 3, 3)) = cv::Scalar(94, 189, 129);
        image(cv::Rect(3, 6, 3, 3)) = cv::Scalar(178, 157, 96);
        image(cv::Rect(0, 9, 3, 3)) = cv::Scalar(253, 29, 177);
      }
      const size_t cells = static_cast<size_t>(H / 3) * (W / 3);
      std::vector<float> fast(cells, kUntouched), slow(cells, kUntouched);
      std::vector<int> fastCounts(contours::kBins, 0), slowCounts(contours::kBins, 0);
      testsupport::Planes pixel(H, W, 0.0f), block(H / 3, W / 3, 0.0f);
      contours::processBlocks(image, fast.data(), fastCounts.data(), H, W, contours::kBins);
      plain::processImage(image, slow.data(), pixel.get(), block.get(), slowCounts.data(), H,
                          W, contours::kBins);
      EXPECT_EQ(std::memcmp(fast.data(), slow.data(), cells * sizeof(float)), 0);
      EXPECT_EQ(fastCounts, slowCounts);
    }
}

}  // namespace
