// The clock, the quantile table, the threshold search and result marking.

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include <contours/contours.hpp>
#include "driver/clock.hpp"
#include "test_support.hpp"

namespace {

using testsupport::sameBits;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(GetTickCount, ConvertsAClockReadingAndWrapsTheElapsedTime) {
  EXPECT_EQ(contours::tickCountFrom(1, 999999), 1999u);
  EXPECT_EQ(contours::tickCountFrom(0, 999), 0u);
  // Seconds since the epoch overflow 32 bits of milliseconds: kept modulo 2^32.
  EXPECT_EQ(contours::tickCountFrom(4294968, 0), 4294968000u - 4294967296u);
  EXPECT_EQ(contours::elapsedTicks(4294967296u - 296u, 200u), 496u);
  EXPECT_EQ(contours::elapsedTicks(5u, 5u), 0u);
}

std::vector<float> tableFor(const std::vector<std::pair<int, int>>& bins) {
  std::vector<int> histogram(contours::kBins, 0);
  for (auto [bin, count] : bins) histogram[bin] = count;
  std::vector<float> table(contours::kBins, -1.0f);
  contours::buildQuantileTable(histogram.data(), table.data(), contours::kBins);
  return table;
}

TEST(QuantileTable, SingleBinIsInterpolatedAcrossItsWidth) {
  const auto table = tableFor({{10, 37}});
  for (int k = 0; k < contours::kBins; ++k)
    EXPECT_TRUE(sameBits(table[k], 10.0f + (k + 1) / 256.0f)) << "entry " << k;
  EXPECT_EQ(table[255], 11.0f);
}

TEST(QuantileTable, ShareReachedOnABinEdgeStaysInTheLowerBin) {
  const auto table = tableFor({{5, 1}, {6, 1}});
  for (int k = 0; k < 128; ++k)
    EXPECT_TRUE(sameBits(table[k], 5.0f + (k + 1) / 128.0f)) << "entry " << k;
  for (int k = 128; k < 256; ++k)
    EXPECT_TRUE(sameBits(table[k], 6.0f + (k - 127) / 128.0f)) << "entry " << k;
  EXPECT_EQ(table[127], 6.0f);
  EXPECT_EQ(table[255], 7.0f);
}

TEST(QuantileTable, EntriesNeverDecreaseAndSkipEmptyBins) {
  const auto table = tableFor({{3, 111}, {4, 7188}, {9, 64}, {109, 1}, {255, 2}});
  for (int k = 1; k < contours::kBins; ++k) EXPECT_LE(table[k - 1], table[k]) << k;
  for (float entry : table) {
    const int bin = static_cast<int>(std::ceil(entry)) - 1;
    EXPECT_TRUE(bin == 3 || bin == 4 || bin == 9 || bin == 109 || bin == 255) << entry;
  }
  EXPECT_EQ(table[255], 256.0f);
}

TEST(QuantileTable, EmptyHistogramGivesNaNEverywhere) {
  for (float entry : tableFor({})) EXPECT_TRUE(std::isnan(entry));
}

// A table whose entry k is k + 1, so a search's thresholds name its indices.
std::vector<float> indexTable() {
  std::vector<float> table(contours::kBins);
  for (int k = 0; k < contours::kBins; ++k) table[k] = static_cast<float>(k + 1);
  return table;
}

std::vector<int> visited(const contours::SearchRecord& record) {
  std::vector<int> indices;
  for (const auto& e : record.evaluations) indices.push_back(e.index);
  return indices;
}

struct SearchCase {
  const char* what;
  float target;
  double startFraction;
  std::vector<int> indices;
};

// Runs one of the driver's two searches over a 16x24 field.
contours::SearchRecord search(const std::vector<float>& field, const std::vector<float>& table,
                              const SearchCase& c, std::vector<unsigned char>& mask) {
  return contours::thresholdSearch(field.data(), 16, 24, table.data(), contours::kBins,
                                   c.target, 0.1f, c.startFraction, 8, mask.data());
}

// Every threshold selects the whole 16x24 field: dimension 2, above both targets.
TEST(ThresholdSearch, DimensionAboveTargetClimbsTheTableForFiveSteps) {
  const std::vector<float> field(16 * 24, 1000.0f);
  const auto table = indexTable();
  const SearchCase cases[] = {
      {"block", contours::kBlockTarget, contours::kBlockStartFraction, {16, 135, 195, 225, 240, 247}},
      {"pixel", contours::kPixelTarget, contours::kPixelStartFraction, {64, 159, 207, 231, 243, 249}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<unsigned char> mask(field.size(), 255);
    const auto record = search(field, table, c, mask);
    EXPECT_EQ(visited(record), c.indices);
    EXPECT_EQ(record.index, c.indices.back());
    EXPECT_EQ(record.threshold, table[c.indices.back()]);
    EXPECT_EQ(std::count(mask.begin(), mask.end(), 0), static_cast<long>(mask.size()));
  }
}

// One selected cell at every threshold: dimension 0, below both targets.
TEST(ThresholdSearch, DimensionBelowTargetDescendsEvenWhenTheIndexStopsMoving) {
  std::vector<float> field(16 * 24, 0.0f);
  field[100] = 1000.0f;
  const auto table = indexTable();
  const SearchCase cases[] = {
      {"block", contours::kBlockTarget, contours::kBlockStartFraction, {16, 8, 4, 2, 1, 0}},
      {"pixel", contours::kPixelTarget, contours::kPixelStartFraction, {64, 32, 16, 8, 4, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<unsigned char> mask(field.size(), 255);
    const auto record = search(field, table, c, mask);
    EXPECT_EQ(visited(record), c.indices);
    for (const auto& e : record.evaluations) EXPECT_EQ(e.dimension, 0.0f);
    EXPECT_EQ(std::count(mask.begin(), mask.end(), 0), 1);
  }
}

TEST(ThresholdSearch, NaNDimensionOrOneWithinToleranceEndsAtOnce) {
  const auto table = indexTable();
  {
    SCOPED_TRACE("nothing selected: NaN dimension");
    const std::vector<float> field(16 * 24, 0.0f);
    std::vector<unsigned char> mask(field.size(), 255);
    const auto record = contours::thresholdSearch(field.data(), 16, 24, table.data(),
                                                  contours::kBins, 1.8f, 0.1f, 0.0625, 8,
                                                  mask.data());
    ASSERT_EQ(visited(record), std::vector<int>{16});
    EXPECT_TRUE(std::isnan(record.evaluations[0].dimension));
    EXPECT_EQ(std::count(mask.begin(), mask.end(), 255), static_cast<long>(mask.size()));
  }
  {
    SCOPED_TRACE("whole field, target 1.95: within tolerance");
    const std::vector<float> field(16 * 24, 1000.0f);
    std::vector<unsigned char> mask(field.size(), 255);
    const auto record = contours::thresholdSearch(field.data(), 16, 24, table.data(),
                                                  contours::kBins, 1.95f, 0.1f, 0.25, 8,
                                                  mask.data());
    EXPECT_EQ(visited(record), std::vector<int>{64});
  }
  {
    SCOPED_TRACE("empty histogram: NaN thresholds");
    const std::vector<float> field(16 * 24, 1000.0f);
    const std::vector<float> nanTable(contours::kBins, kNaN);
    std::vector<unsigned char> mask(field.size(), 255);
    const auto record = contours::thresholdSearch(field.data(), 16, 24, nanTable.data(),
                                                  contours::kBins, 1.8f, 0.1f, 0.0625, 8,
                                                  mask.data());
    EXPECT_EQ(visited(record), std::vector<int>{16});
    EXPECT_EQ(std::count(mask.begin(), mask.end(), 255), static_cast<long>(mask.size()));
  }
}

TEST(ThresholdSearch, RefusesAStartOutsideTheTable) {
  const std::vector<float> field(16 * 16, 1.0f);
  const auto table = indexTable();
  std::vector<unsigned char> mask(field.size(), 255);
  for (double fraction : {-0.1, 1.0, 2.5, static_cast<double>(kNaN)})
    EXPECT_THROW(contours::thresholdSearch(field.data(), 16, 16, table.data(), contours::kBins,
                                           1.8f, 0.1f, fraction, 8, mask.data()),
                 std::invalid_argument)
        << fraction;
  EXPECT_EQ(std::count(mask.begin(), mask.end(), 255), static_cast<long>(mask.size()));
}

TEST(FixLastSegment, MarksCellsAtOrAboveAndLeavesTheRestAsTheyWere) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> field = {1.0f, 2.0f, 3.0f, kNaN, inf, -inf};
  std::vector<unsigned char> mask = {255, 255, 7, 255, 255, 42};
  contours::fixLastSegment(field.data(), mask.data(), 2, 3, 2.0f);
  EXPECT_EQ(mask, (std::vector<unsigned char>{255, 0, 0, 255, 0, 42}));

  std::vector<unsigned char> untouched(6, 255);
  contours::fixLastSegment(field.data(), untouched.data(), 2, 3, kNaN);
  EXPECT_EQ(untouched, std::vector<unsigned char>(6, 255));
}

// A negative count once became a huge size_t (writing past the mask), and two
// negative counts a positive product.
TEST(FixLastSegment, SizesThatDescribeNoCellsTouchNothing) {
  const std::vector<float> field(4, 9.0f);
  std::vector<unsigned char> mask(4, 255);
  const int sizes[][2] = {{-1, 3}, {3, -1}, {-2, -2}, {0, 4}, {4, 0}};
  for (const auto& size : sizes)
    contours::fixLastSegment(field.data(), mask.data(), size[0], size[1], 1.0f);
  EXPECT_EQ(mask, std::vector<unsigned char>(4, 255));
}

TEST(AnalyseImage, RefusesWhatItCannotAnalyse) {
  cv::Mat result(2, 2, CV_8UC1);
  EXPECT_EQ(contours::analyseImage(cv::Mat(20, 20, CV_8UC1), result).status,
            contours::AnalysisStatus::BadImage);
  EXPECT_TRUE(result.empty());
  EXPECT_EQ(contours::analyseImage(cv::Mat(20, 20, CV_32FC3), result).status,
            contours::AnalysisStatus::BadImage);
  EXPECT_EQ(contours::analyseImage(cv::Mat(), result).status,
            contours::AnalysisStatus::BadImage);
  contours::AnalysisOptions options;
  options.threads = -1;
  cv::Mat image(20, 20, CV_8UC3, cv::Scalar(1, 2, 3));
  result.create(2, 2, CV_8UC1);
  EXPECT_EQ(contours::analyseImage(image, result, options).status,
            contours::AnalysisStatus::BadOptions);
  EXPECT_TRUE(result.empty());
}

TEST(AnalyseImage, ImagesTooSmallForTheBlockGridSelectNothing) {
  for (const cv::Size size : {cv::Size(1, 1), cv::Size(8, 40), cv::Size(40, 8), cv::Size(14, 14)}) {
    SCOPED_TRACE(testing::Message() << size);
    cv::Mat image(size, CV_8UC3);
    cv::randu(image, 0, 256);
    cv::Mat result;
    const auto report = contours::analyseImage(image, result);
    ASSERT_EQ(report.status, contours::AnalysisStatus::Ok);
    EXPECT_EQ(result.size(), size);
    EXPECT_EQ(cv::countNonZero(result == 255), size.area());
    EXPECT_EQ(report.selectedPixels, 0);
    EXPECT_EQ(report.pixelCellsComputed, 0);
  }
}

}  // namespace
