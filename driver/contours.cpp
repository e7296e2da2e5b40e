#include "contours.hpp"
#include "driver/pipeline.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>

#include "dimension/computed_blocks.hpp"
#include "dimension/quarter_maxima.hpp"
#include "dimension/rank_field.hpp"
#include "driver/clock.hpp"
#include "driver/search.hpp"
#include "refinement/derivative_masks.hpp"
#include "refinement/fine_stage.hpp"
#include "support/vector_build.hpp"
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

// Whether image is the only holder of its pixel buffer, which is one
// continuous block: the analysis may then reuse it.
bool ownsWholeBuffer(const cv::Mat& image) {
  return image.isContinuous() && image.u != nullptr && image.u->refcount == 1 &&
         image.u->urefcount == 0;
}

// The pipeline. Each working array lives only as long as some later stage
// reads it. The pixel surface, 12 bytes a pixel, is never stored whole: the
// block stage makes only the block surface, and the fine stage makes each
// pixel surface row from the image when it first reads it (the same values
// processImage would have stored). Peak memory is thus the image, the pixel
// field (none beyond the result where the table lets the result hold ranks)
// and the result (none beyond the image where the image's buffer can hold
// it), and nothing of it changes what any stage computes.
void runAnalysis(cv::Mat& image, cv::Mat& result, AnalysisReport& report,
                 StageTimes& times) {
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
  const size_t pixelCells = static_cast<size_t>(H) * static_cast<size_t>(W);
  const size_t blockCells =
      static_cast<size_t>(blockRows) * static_cast<size_t>(blockCols);

  int* histogram = report.histogram.data();
  std::fill(histogram, histogram + kBins, 0);
  const ZeroedArray<float> blockField(blockCells);
  float* quantileTable = report.quantileTable.data();

  const std::uint32_t t0 = GetTickCount();
  processBlocks(image, blockField.get(), histogram, H, W, kBins);
  endStage(times.surface);

  buildQuantileTable(histogram, quantileTable, kBins);
  report.blockSearch =
      findThreshold(blockField.get(), blockRows, blockCols, quantileTable, kBins,
                    kBlockTarget, kBlockTolerance, kBlockStartFraction, kBoxSize);
  // The block mask takes the first quarter of the block field's buffer, and
  // the rest goes back to the system.
  report.markedBlocks =
      markMaskInPlace(blockField.get(), blockCells, report.blockSearch.threshold).marked;
  unsigned char* const blockMask = reinterpret_cast<unsigned char*>(blockField.get());
  releasePages(blockMask + blockCells, blockCells * (sizeof(float) - 1));
  endStage(times.blockSearch);

  const DerivativeMasks masks = derivativeMasks(kMaskSize);
  const float* const d1 = masks.d1.data();
  const float* const d2 = masks.d2.data();
  MarkCounts pixelCounts;
  std::pair<unsigned char*, size_t> unusedTail{nullptr, 0};  // of the image's buffer
  if (ranksServe(quantileTable, kBins, kPixelStartFraction)) {
    // The field is held as a byte a pixel, its rank among the table entries,
    // in the result buffer itself until the threshold is known. When nothing
    // but this call holds the image, the result is the first third of the
    // image's own buffer, which the fine stage overwrites only where it has
    // read the image for the last time; the rest of the buffer's pages go
    // back to the system once the analysis is over. The result then costs no
    // new memory, and the peak is the image alone.
    const bool inPlace = ownsWholeBuffer(image);
    if (!inPlace) {
      result.create(H, W, CV_8UC1);
      adviseHugePages(result.data, pixelCells);
    }
    unsigned char* const ranks = inPlace ? image.data : result.ptr<unsigned char>();
    // The pixel search's summary is made from the ranks the stage computes,
    // as it writes them, instead of in a second pass over the whole field.
    RankQuarterBuilder summary(H, W, kBoxSize);
    pixelCounts.nonZero = fineStageRanks(ranks, quantileTable, blockMask, image, d1,
                                         d2, blockRows, blockCols, W, &summary);
    if (inPlace) {
      // H x W bytes from the start of the buffer, which the result now shares;
      // the rest goes back to the system once the clock has stopped, as
      // arrays no stage reads any more are released after the timed run.
      result = image.reshape(1, 3 * H).rowRange(0, H);
      unusedTail = {image.data + pixelCells, 2 * pixelCells};
    }
    image.release();
    endStage(times.fineStage);

    const RankQuarters quarters = summary.finish();
    report.pixelSearch = findThresholdByRank(quarters, quantileTable, kBins, kPixelTarget,
                                             kPixelTolerance, kPixelStartFraction);
    markRanks(ranks, pixelCells, report.pixelSearch.index, pixelCounts);
  } else {
    PageBlock pixelFieldBlock(pixelCells * sizeof(float));
    float* const pixelField = pixelFieldBlock.as<float>();

    // The pixel search's summary of the field is made while the fine stage
    // fills it, from rows it has just written and that are still in cache,
    // instead of in a second pass over the whole field.
    // Only the blocks the stage computes hold anything but +0: the summary and
    // the marking visit those alone.
    QuarterMaxima quarters = startQuarters(pixelField, H, W, kBoxSize);
    ComputedBlocks computed(blockRows, blockCols);
    fineStageFromImage(pixelField, blockMask, image, d1, d2, blockRows, blockCols,
                       W, &computed, &quarters);
    // The fine stage was the last reader of the image.
    image.release();
    endStage(times.fineStage);

    report.pixelSearch = findThreshold(quarters, quantileTable, kBins, kPixelTarget,
                                       kPixelTolerance, kPixelStartFraction);
    result.create(H, W, CV_8UC1);
    adviseHugePages(result.data, pixelCells);
    pixelCounts = markComputedField(pixelField, result.ptr<unsigned char>(), H, W,
                                    report.pixelSearch.threshold, computed);
  }

  const std::uint32_t t1 = GetTickCount();
  endStage(times.pixelSearch);
  report.elapsedMs = elapsedTicks(t0, t1);
  if (unusedTail.first != nullptr) releasePages(unusedTail.first, unusedTail.second);

  report.pixelCellsComputed = pixelCounts.nonZero;
  report.selectedPixels = pixelCounts.marked;
}

}  // namespace

AnalysisReport analyseImage(cv::Mat image, cv::Mat& result) {
  StageTimes times;
  return analyseImageTimed(std::move(image), result, times);
}

AnalysisReport analyseImageTimed(cv::Mat image, cv::Mat& result, StageTimes& times) {
  AnalysisReport report;
  result.release();
  if (image.dims != 2 || image.type() != CV_8UC3) {
    report.status = AnalysisStatus::BadImage;
    return report;
  }
  report.width = image.cols;
  report.height = image.rows;
  // Element counts are formed in 32-bit int throughout the stages, and so are
  // the surface positions, 20 times a row or column index.
  constexpr int kMaxSide = std::numeric_limits<int>::max() / 20;
  if (static_cast<long long>(image.rows) * image.cols >= (1LL << 31) ||
      image.rows > kMaxSide || image.cols > kMaxSide) {
    report.status = AnalysisStatus::TooLarge;
    return report;
  }
  try {
    runAnalysis(image, result, report, times);
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
