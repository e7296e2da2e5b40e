#include "contours.hpp"

#include <sys/time.h>

#include <cmath>
#include <algorithm>
#include <memory>
#include <new>
#include <stdexcept>

#include "dimension.hpp"
#include "refinement.hpp"
#include "surface.hpp"

namespace contours {

std::uint32_t tickCountFrom(long long seconds, long long microseconds) {
  // Unsigned arithmetic wraps modulo 2^64, and so modulo 2^32 after the cast.
  return static_cast<std::uint32_t>(static_cast<unsigned long long>(seconds) * 1000u +
                                    static_cast<unsigned long long>(microseconds / 1000));
}

std::uint32_t GetTickCount() {
  timeval now{};
  if (gettimeofday(&now, nullptr) != 0) return 0;
  return tickCountFrom(now.tv_sec, now.tv_usec);
}

std::uint32_t elapsedTicks(std::uint32_t start, std::uint32_t end) {
  return end - start;
}

void buildQuantileTable(const int* histogram, float* quantileTable, int bins) {
  int total = 0;
  for (int i = 0; i < bins; ++i) total += histogram[i];

  // The step is a power of two for 256 bins, so the running fraction takes the
  // values m/bins exactly and every fraction is placed exactly once.
  const float step = static_cast<float>(1.0 / bins);
  const float last = static_cast<float>(bins) * step;
  const float totalF = static_cast<float>(total);
  int cumulative = 0;
  float running = step;
  int filled = 0;
  for (int i = 0; i < bins; ++i) {
    cumulative += histogram[i];
    for (float f = running; f <= last && filled < bins; f += step) {
      if (totalF * f > static_cast<float>(cumulative)) {
        running = f;
        break;
      }
      // Reached inside bin i: interpolate between its edges. An empty bin
      // never gets here while total > 0; with total 0 every entry is 0/0.
      quantileTable[filled++] =
          (totalF * f - static_cast<float>(cumulative - histogram[i])) /
              static_cast<float>(histogram[i]) +
          static_cast<float>(i);
    }
    if (filled >= bins) break;
  }
}

void fixLastSegment(const float* field, unsigned char* mask, int rows, int cols,
                    float threshold) {
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j)
      if (field[i * cols + j] >= threshold) mask[i * cols + j] = 0;
}

float dimensionAt(const float* field, int rows, int cols, float threshold,
                  int boxSize) {
  const DimensionSamples samples =
      BowCountingDimension(field, rows, cols, threshold, boxSize);
  std::vector<float> values(samples.size(), 0.0f);
  std::vector<float> keys(samples.size(), 0.0f);
  size_t i = 0;
  for (const auto& [key, value] : samples) {
    values[i] = value;
    keys[i] = key;
    ++i;
  }
  return NormalEquations2d(values, keys)[0];
}

SearchRecord thresholdSearch(const float* field, int rows, int cols,
                             const float* quantileTable, int bins, float target,
                             float tolerance, double startFraction, int boxSize,
                             unsigned char* mask) {
  // The start index must name a table entry; checked in double before the
  // conversion, which is undefined for NaN or out-of-range values.
  const double start = bins * startFraction;
  if (bins < 1 || !(start >= 0.0 && start < bins))
    throw std::invalid_argument("search start outside the quantile table");

  SearchRecord record;
  auto evaluate = [&](int index) {
    const float threshold = quantileTable[index];
    const float dimension = dimensionAt(field, rows, cols, threshold, boxSize);
    record.evaluations.push_back({index, threshold, dimension});
    return dimension;
  };

  int lo = 0;
  int hi = bins - 1;
  int mid = static_cast<int>(start);
  float D = evaluate(mid);
  // A NaN dimension fails the comparison and ends the search where it is.
  for (int step = 0; std::fabs(D - target) > tolerance && step <= 4;) {
    ++step;
    if (D > target)
      lo = mid;  // too rich a selection: move to a higher threshold
    else
      hi = mid;
    mid = static_cast<int>(static_cast<double>(lo + hi) * 0.5);
    D = evaluate(mid);
  }
  record.index = mid;
  record.threshold = quantileTable[mid];
  fixLastSegment(field, mask, rows, cols, record.threshold);
  return record;
}

namespace {

// Three float planes of rows x cols, each with its table of row pointers, in
// the plane -> row -> column shape the stages take. The values are not
// initialised: the surface pass writes every cell that is ever read.
class SurfacePlanes {
 public:
  SurfacePlanes(int rows, int cols) {
    const size_t cells = static_cast<size_t>(rows) * static_cast<size_t>(cols);
    for (int p = 0; p < 3; ++p) {
      values_[p].reset(new float[cells]);
      rowTables_[p].reset(new float*[static_cast<size_t>(rows)]);
      for (int r = 0; r < rows; ++r)
        rowTables_[p][r] = values_[p].get() + static_cast<size_t>(r) * cols;
      planes_[p] = rowTables_[p].get();
    }
  }
  float*** planes() { return planes_; }

 private:
  std::unique_ptr<float[]> values_[3];
  std::unique_ptr<float*[]> rowTables_[3];
  float** planes_[3] = {};
};

long long countEqual(const unsigned char* mask, size_t n, unsigned char value) {
  long long count = 0;
  for (size_t i = 0; i < n; ++i) count += mask[i] == value;
  return count;
}

void runAnalysis(cv::Mat& image, cv::Mat& result, AnalysisReport& report) {
  const int H = image.rows;
  const int W = image.cols;
  const int blockRows = H / 3;
  const int blockCols = W / 3;
  const size_t pixelCells = static_cast<size_t>(H) * static_cast<size_t>(W);
  const size_t blockCells =
      static_cast<size_t>(blockRows) * static_cast<size_t>(blockCols);

  SurfacePlanes pixelPlanes(H, W);
  SurfacePlanes blockPlanes(blockRows, blockCols);
  int* histogram = report.histogram.data();
  std::fill(histogram, histogram + kBins, 0);
  std::unique_ptr<float[]> blockField(new float[blockCells]());
  std::unique_ptr<unsigned char[]> blockMask(new unsigned char[blockCells]);
  std::fill(blockMask.get(), blockMask.get() + blockCells, 255);
  float* quantileTable = report.quantileTable.data();

  const std::uint32_t t0 = GetTickCount();

  processImage(image, blockField.get(), pixelPlanes.planes(), blockPlanes.planes(),
               histogram, H, W, kBins);
  // The surfaces hold everything later stages need from the image.
  image.release();

  buildQuantileTable(histogram, quantileTable, kBins);
  report.blockSearch =
      thresholdSearch(blockField.get(), blockRows, blockCols, quantileTable, kBins,
                      kBlockTarget, kBlockTolerance, kBlockStartFraction, kBoxSize,
                      blockMask.get());

  float maskSet[7][kMaskSize * kMaskSize];
  float d1[kMaskSize * kMaskSize];
  float d2[kMaskSize * kMaskSize];
  std::unique_ptr<float[]> pixelField(new float[pixelCells]());
  result.create(H, W, CV_8UC1);
  result.setTo(cv::Scalar(255));
  unsigned char* outputMask = result.ptr<unsigned char>();

  genericMatr(maskSet[0], maskSet[1], maskSet[2], maskSet[3], maskSet[4],
              maskSet[5], maskSet[6], kMaskSize);
  const float size = static_cast<float>(kMaskSize);
  for (int k = 0; k < kMaskSize * kMaskSize; ++k) {
    d1[k] = (maskSet[4][k] - maskSet[3][k]) * size;  // (M5 - M4) * n
    d2[k] = (maskSet[2][k] - maskSet[3][k]) * size;  // (M3 - M4) * n
  }

  calcFineContours(pixelField.get(), blockMask.get(), pixelPlanes.planes(), d1, d2,
                   blockRows, blockCols, W, kMaskSize);

  report.pixelSearch =
      thresholdSearch(pixelField.get(), H, W, quantileTable, kBins, kPixelTarget,
                      kPixelTolerance, kPixelStartFraction, kBoxSize, outputMask);

  const std::uint32_t t1 = GetTickCount();
  report.elapsedMs = elapsedTicks(t0, t1);

  report.markedBlocks = countEqual(blockMask.get(), blockCells, 0);
  long long computed = 0;
  for (size_t i = 0; i < pixelCells; ++i) computed += pixelField[i] != 0.0f;
  report.pixelCellsComputed = computed;
  report.selectedPixels = countEqual(outputMask, pixelCells, 0);
}

}  // namespace

AnalysisReport analyseImage(cv::Mat image, cv::Mat& result) {
  AnalysisReport report;
  result.release();
  if (image.dims != 2 || image.type() != CV_8UC3) {
    report.status = AnalysisStatus::BadImage;
    return report;
  }
  report.width = image.cols;
  report.height = image.rows;
  // Element counts are formed in 32-bit int throughout the stages.
  if (static_cast<long long>(image.rows) * image.cols >= (1LL << 31)) {
    report.status = AnalysisStatus::TooLarge;
    return report;
  }
  try {
    runAnalysis(image, result, report);
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
