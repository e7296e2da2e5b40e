// The three reference inputs must reproduce every recorded intermediate and the
// result image bit for bit. Any difference means an operation is evaluated in
// another order or precision than the analysis defines.

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <contours/contours.hpp>
#include "json_lite.hpp"
#include <contours/surface.hpp>
#include "test_support.hpp"

namespace {

using testsupport::sameBits;

const std::string kData = CONTOURS_TEST_DATA;

class ReferenceImage : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    expected_ = jsonlite::parseFile(kData + "/" + GetParam() + ".expected.json");
    image_ = cv::imread(kData + "/" + GetParam() + ".png", cv::IMREAD_COLOR);
    ASSERT_FALSE(image_.empty());
  }

  void expectSearch(const contours::SearchRecord& actual, const jsonlite::Value& evaluations,
                    const jsonlite::Value& threshold) {
    ASSERT_EQ(actual.evaluations.size(), evaluations.items.size());
    for (size_t i = 0; i < evaluations.items.size(); ++i) {
      SCOPED_TRACE("evaluation " + std::to_string(i));
      EXPECT_EQ(actual.evaluations[i].index, evaluations.items[i]["index"].asInt());
      EXPECT_TRUE(sameBits(actual.evaluations[i].dimension,
                           evaluations.items[i]["dimension"].asFloat()));
    }
    EXPECT_EQ(actual.index, actual.evaluations.back().index);
    EXPECT_TRUE(sameBits(actual.threshold, threshold.asFloat()));
  }

  jsonlite::Value expected_;
  cv::Mat image_;
};

TEST_P(ReferenceImage, SurfacePassGivesRecordedHistogramAndBlockField) {
  const int H = image_.rows, W = image_.cols;
  testsupport::Planes pixelPlanes(H, W, 0.0f);
  testsupport::Planes blockPlanes(H / 3, W / 3, 0.0f);
  std::vector<float> blockField(static_cast<size_t>(H / 3) * (W / 3), 0.0f);
  std::vector<int> histogram(contours::kBins, 0);
  contours::processImage(image_, blockField.data(), pixelPlanes.get(), blockPlanes.get(),
                         histogram.data(), H, W, contours::kBins);

  std::vector<int> expectedHistogram(contours::kBins, 0);
  for (const auto& [bin, count] : expected_["histogram_nonzero_bins"].members)
    expectedHistogram[std::stoi(bin)] = static_cast<int>(count.asInt());
  EXPECT_EQ(histogram, expectedHistogram);

  for (const auto& [cell, value] : expected_["block_field_sample"].members) {
    const int row = std::stoi(cell.substr(0, cell.find(',')));
    const int col = std::stoi(cell.substr(cell.find(',') + 1));
    SCOPED_TRACE("block cell " + cell);
    EXPECT_TRUE(sameBits(blockField[static_cast<size_t>(row) * (W / 3) + col], value.asFloat()));
  }
}

// On one thread and in bands side by side: two, three and seven (more than
// the cores, so that every band edge is crossed on any machine).
TEST_P(ReferenceImage, WholeAnalysisReproducesEveryRecordedResult) {
  for (const int threads : {1, 2, 3, 7}) {
    SCOPED_TRACE(::testing::Message() << threads << " threads");
    contours::AnalysisOptions options;
    options.threads = threads;
    cv::Mat result;
    const contours::AnalysisReport report = contours::analyseImage(image_, result, options);
    ASSERT_EQ(report.status, contours::AnalysisStatus::Ok);
    EXPECT_EQ(report.width, expected_["width"].asInt());
    EXPECT_EQ(report.height, expected_["height"].asInt());

    const auto& table = expected_["quantile_table"].items;
    ASSERT_EQ(table.size(), static_cast<size_t>(contours::kBins));
    for (int k = 0; k < contours::kBins; ++k)
      EXPECT_TRUE(sameBits(report.quantileTable[k], table[k].asFloat())) << "entry " << k;

    {
      SCOPED_TRACE("block search");
      expectSearch(report.blockSearch, expected_["block_search"], expected_["block_threshold"]);
    }
    EXPECT_EQ(report.markedBlocks, expected_["marked_blocks"].asInt());
    {
      SCOPED_TRACE("pixel search");
      expectSearch(report.pixelSearch, expected_["pixel_search"], expected_["pixel_threshold"]);
    }
    EXPECT_EQ(report.pixelCellsComputed, expected_["pixel_cells_computed"].asInt());
    EXPECT_EQ(report.selectedPixels, expected_["selected_pixels"].asInt());

    const cv::Mat expectedImage =
        cv::imread(kData + "/" + GetParam() + ".expected.png", cv::IMREAD_GRAYSCALE);
    ASSERT_EQ(result.type(), CV_8UC1);
    ASSERT_EQ(result.size(), expectedImage.size());
    EXPECT_EQ(cv::countNonZero(result != expectedImage), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Inputs, ReferenceImage,
                         ::testing::Values("shapes", "coffee", "astronaut"),
                         [](const auto& info) { return info.param; });

}  // namespace
