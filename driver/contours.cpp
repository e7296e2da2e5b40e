#include <contours/contours.hpp>
#include "driver/pipeline.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "driver/clock.hpp"
#include "driver/search.hpp"
#include "field/marking.hpp"
#include "field/pixel_field.hpp"
#include "refinement/fine_stage.hpp"
#include "refinement/mask_family.hpp"
#include "support/bands.hpp"
#include "support/working_memory.hpp"
#include "surface/surface_rows.hpp"

namespace contours {

namespace {

// Milliseconds on a monotonic clock, for the stage times of benchmarks.
double nowMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The pipeline. Each working array lives only as long as some later stage
// reads it. The pixel surface, 12 bytes a pixel, is never stored whole: the
// block stage makes only the block surface, and the fine stage makes each
// part of a pixel surface row from the image when it first reads it (the
// same values processImage would have stored). The pixel field takes a byte
// a pixel where the table lets it hold ranks, and then lives in the result's
// buffer (in the image's own where the analysis alone holds the image); so
// peak memory is the image, the result and, only where the table is one
// ranks cannot serve, a float a pixel; and nothing of it changes what any
// stage computes.
//
// With more than one band, the stages run in bands side by side (see
// forEachBand): the surface pass by bands of block rows, adding up whole
// histogram counts; the block summary and the box counts by bands of whole
// boxes; the block mask by cells; the fine stage by bands of block rows; the
// result's marking by rows.
// Where the ranks would go into the
// image's own buffer, bands after the first keep theirs apart until the
// marking (up to a byte a pixel more), since other bands still read the
// image bytes they would overwrite.
void runAnalysis(cv::Mat& image, cv::Mat& result, AnalysisReport& report,
                 StageTimes& times, const Split& bands) {
  double mark = nowMs();
  auto endStage = [&mark](double& stage) {
    const double now = nowMs();
    stage = now - mark;
    mark = now;
  };

  const int H = image.rows;
  const int W = image.cols;
  const int blockRows = H / 3;
  const int blockCols = W / 3;
  const size_t blockCells =
      static_cast<size_t>(blockRows) * static_cast<size_t>(blockCols);

  int* histogram = report.histogram.data();
  std::fill(histogram, histogram + kBins, 0);
  auto blockField = std::make_unique<ZeroedArray<float>>(blockCells);
  float* quantileTable = report.quantileTable.data();

  const std::uint32_t t0 = GetTickCount();
  processBlocks(image, blockField->get(), histogram, H, W, kBins, bands);
  endStage(times.surface);

  buildQuantileTable(histogram, quantileTable, kBins);
  report.blockSearch =
      findThreshold(blockField->get(), blockRows, blockCols, quantileTable, kBins,
                    kBlockTarget, kBlockTolerance, kBlockStartFraction, kBoxSize, bands);
  // The block mask, a byte a block, is made beside the block field, which
  // then goes back to the system whole (giving back all but a mask's worth
  // of its pages would split its huge pages, and every later read of the
  // mask would pay for that).
  const ZeroedArray<unsigned char> blockMaskCells(blockCells);
  unsigned char* const blockMask = blockMaskCells.get();
  report.markedBlocks = markCells(blockField->get(), blockMask, blockCells,
                                  report.blockSearch.threshold, bands)
                            .marked;
  blockField.reset();
  endStage(times.blockSearch);

  const DerivativeMasks masks = derivativeMasks(kMaskSize);
  const std::unique_ptr<PixelField> pixelField =
      PixelField::forTable(image, quantileTable, kBins, kPixelStartFraction, kBoxSize);
  fineStage(image, masks.d1.data(), masks.d2.data(), blockMask, blockRows, blockCols,
            *pixelField, bands);
  // The fine stage was the last reader of the image.
  image.release();
  endStage(times.fineStage);

  report.pixelSearch =
      findThreshold([&](int index) { return pixelField->boxCountsAt(index); },
                    quantileTable, kBins, kPixelTarget, kPixelTolerance,
                    kPixelStartFraction);
  const MarkCounts pixelCounts = pixelField->mark(report.pixelSearch.index, result);
  const std::uint32_t t1 = GetTickCount();
  endStage(times.pixelSearch);
  report.elapsedMs = elapsedTicks(t0, t1);
  // Memory no stage reads any more is given back after the timed run.
  pixelField->releaseSpare();

  report.pixelCellsComputed = pixelCounts.nonZero;
  report.selectedPixels = pixelCounts.marked;
}

}  // namespace

AnalysisReport analyseImage(cv::Mat image, cv::Mat& result) {
  StageTimes times;
  return analyseImageTimed(std::move(image), result, times);
}

AnalysisReport analyseImage(cv::Mat image, cv::Mat& result, const AnalysisOptions& options) {
  StageTimes times;
  return analyseImageTimed(std::move(image), result, times, options);
}

AnalysisReport analyseImageTimed(cv::Mat image, cv::Mat& result, StageTimes& times,
                                 const AnalysisOptions& options) {
  AnalysisReport report;
  result.release();
  if (options.threads < 0) {
    report.status = AnalysisStatus::BadOptions;
    return report;
  }
  if (image.dims != 2 || image.type() != CV_8UC3) {
    report.status = AnalysisStatus::BadImage;
    return report;
  }
  report.width = image.cols;
  report.height = image.rows;
  // Element counts are formed in 32-bit int throughout the stages, and so are
  // the surface positions, 20 times a row or column index.
  if (!analysable(image.rows, image.cols)) {
    report.status = AnalysisStatus::TooLarge;
    return report;
  }
  try {
    runAnalysis(image, result, report, times, splitFor(threadsFor(options.threads)));
  } catch (const std::bad_alloc&) {
    report.status = AnalysisStatus::OutOfMemory;
  } catch (const cv::Exception&) {
    // The only OpenCV call that can fail here is the result's allocation.
    report.status = AnalysisStatus::OutOfMemory;
  }
  if (report.status != AnalysisStatus::Ok) result.release();
  return report;
}

}  // namespace contours
