#include "contours.hpp"

#include <sys/mman.h>
#include <sys/time.h>

#include <cmath>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>

#include "dimension.hpp"
#include "refinement.hpp"
#include "surface.hpp"
#include "dimension/computed_blocks.hpp"
#include "refinement/fine_stage.hpp"
#include "surface/vector_build.hpp"

namespace contours {

namespace {

// The dimension of a pair of box-counting samples: the slope of their values
// against their keys, walked in ascending key order.
float slopeOf(const DimensionSamples& samples) {
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

}  // namespace

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

namespace {

// fixLastSegment over n cells. The inner runs have a fixed length so that the
// compiler compares whole vectors; the arrays never overlap.
struct MarkCells {
  static CONTOURS_INLINE void run(const float* __restrict field,
                                  unsigned char* __restrict mask, size_t n,
                                  float threshold) {
    size_t i = 0;
    for (; i + 32 <= n; i += 32)
      for (int j = 0; j < 32; ++j)
        mask[i + j] = field[i + j] >= threshold ? 0 : mask[i + j];
    for (; i < n; ++i) mask[i] = field[i] >= threshold ? 0 : mask[i];
  }
};

}  // namespace

void fixLastSegment(const float* field, unsigned char* mask, int rows, int cols,
                    float threshold) {
  runVectorBuild<MarkCells>(field, mask,
                            static_cast<size_t>(rows) * static_cast<size_t>(cols),
                            threshold);
}

float dimensionAt(const float* field, int rows, int cols, float threshold,
                  int boxSize) {
  return slopeOf(BowCountingDimension(field, rows, cols, threshold, boxSize));
}

namespace {

// The start index must name a table entry; checked in double before the
// conversion, which is undefined for NaN or out-of-range values.
void checkSearchStart(int bins, double startFraction) {
  const double start = bins * startFraction;
  if (bins < 1 || !(start >= 0.0 && start < bins))
    throw std::invalid_argument("search start outside the quantile table");
}

}  // namespace

SearchRecord searchThreshold(const float* field, int rows, int cols,
                             const float* quantileTable, int bins, float target,
                             float tolerance, double startFraction, int boxSize) {
  checkSearchStart(bins, startFraction);
  // Every evaluation counts boxes over the same field: summarise it once.
  return searchThreshold(summariseQuarters(field, rows, cols, boxSize), quantileTable,
                         bins, target, tolerance, startFraction);
}

SearchRecord searchThreshold(const QuarterMaxima& quarters, const float* quantileTable,
                             int bins, float target, float tolerance,
                             double startFraction) {
  checkSearchStart(bins, startFraction);
  const double start = bins * startFraction;
  SearchRecord record;
  auto evaluate = [&](int index) {
    const float threshold = quantileTable[index];
    const float dimension = slopeOf(BowCountingDimension(quarters, threshold));
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
  return record;
}

SearchRecord thresholdSearch(const float* field, int rows, int cols,
                             const float* quantileTable, int bins, float target,
                             float tolerance, double startFraction, int boxSize,
                             unsigned char* mask) {
  SearchRecord record = searchThreshold(field, rows, cols, quantileTable, bins,
                                        target, tolerance, startFraction, boxSize);
  fixLastSegment(field, mask, rows, cols, record.threshold);
  return record;
}

namespace {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <class T>
using Buffer = std::unique_ptr<T[], FreeDeleter>;

// n elements of T, every byte 0. Large blocks come straight from the kernel as
// zero pages, so nothing is written here and a page is only touched by the
// stage that fills it (and never, if no stage does).
template <class T>
Buffer<T> zeroedBuffer(size_t n) {
  void* p = std::calloc(n == 0 ? 1 : n, sizeof(T));
  if (p == nullptr) throw std::bad_alloc();
  return Buffer<T>(static_cast<T*>(p));
}

// Asks for transparent huge pages on the whole 2 MiB pages inside [p, p + bytes)
// before they are first written; a refused hint only costs speed.
void adviseHugePages(void* p, size_t bytes) {
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kHuge - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

// Zero-filled memory for a large working array, straight from the kernel:
// nothing is written here, a page is only touched by the stage that fills
// it, and the block starts on a 2 MiB boundary so that every whole 2 MiB of
// the array can be a transparent huge page (one fault per 2 MiB, not per 4 KiB).
class PageBlock {
 public:
  explicit PageBlock(size_t bytes) {
    constexpr size_t kHuge = size_t{2} << 20;
    length_ = (bytes == 0 ? 1 : bytes) + kHuge;
    void* p = ::mmap(nullptr, length_, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    base_ = p;
    const uintptr_t aligned =
        (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(uintptr_t{kHuge} - 1);
    data_ = reinterpret_cast<void*>(aligned);
    adviseHugePages(data_, bytes);
  }
  ~PageBlock() { ::munmap(base_, length_); }
  PageBlock(const PageBlock&) = delete;
  PageBlock& operator=(const PageBlock&) = delete;

  template <class T>
  T* as() const {
    return static_cast<T*>(data_);
  }

 private:
  void* base_ = nullptr;
  void* data_ = nullptr;
  size_t length_ = 0;
};

// Milliseconds on a monotonic clock, for the stage times of benchmarks.
double nowMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The pipeline. Each working array lives only as long as some later stage
// reads it. The pixel surface, 12 bytes a pixel, is never stored whole: the
// block stage makes only the block surface, and the fine stage makes each
// pixel surface row from the image when it first reads it (the same values
// processImage would have stored). Peak memory is thus the image, the pixel
// field and the result, and nothing of it changes what any stage computes.
void runAnalysis(cv::Mat& image, cv::Mat& result, AnalysisReport& report) {
  StageTimes& times = report.stageTimes;
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
  Buffer<float> blockField = zeroedBuffer<float>(blockCells);
  Buffer<unsigned char> blockMask = zeroedBuffer<unsigned char>(blockCells);
  float* quantileTable = report.quantileTable.data();

  const std::uint32_t t0 = GetTickCount();
  processBlocks(image, blockField.get(), histogram, H, W, kBins);
  endStage(times.surface);

  buildQuantileTable(histogram, quantileTable, kBins);
  report.blockSearch =
      searchThreshold(blockField.get(), blockRows, blockCols, quantileTable, kBins,
                      kBlockTarget, kBlockTolerance, kBlockStartFraction, kBoxSize);
  report.markedBlocks =
      markFreshMask(blockField.get(), blockMask.get(), blockCells,
                    report.blockSearch.threshold).marked;
  blockField.reset();
  endStage(times.blockSearch);

  float maskSet[7][kMaskSize * kMaskSize];
  float d1[kMaskSize * kMaskSize];
  float d2[kMaskSize * kMaskSize];
  PageBlock pixelFieldBlock(pixelCells * sizeof(float));
  float* const pixelField = pixelFieldBlock.as<float>();

  genericMatr(maskSet[0], maskSet[1], maskSet[2], maskSet[3], maskSet[4],
              maskSet[5], maskSet[6], kMaskSize);
  const float size = static_cast<float>(kMaskSize);
  for (int k = 0; k < kMaskSize * kMaskSize; ++k) {
    d1[k] = (maskSet[4][k] - maskSet[3][k]) * size;  // (M5 - M4) * n
    d2[k] = (maskSet[2][k] - maskSet[3][k]) * size;  // (M3 - M4) * n
  }

  // The pixel search's summary of the field is made while the fine stage
  // fills it, from rows it has just written and that are still in cache,
  // instead of in a second pass over the whole field.
  // Only the blocks the stage computes hold anything but +0: the summary and
  // the marking visit those alone.
  QuarterMaxima quarters = startQuarters(pixelField, H, W, kBoxSize);
  ComputedBlocks computed(blockRows, blockCols);
  fineStageFromImage(pixelField, blockMask.get(), image, d1, d2, blockRows, blockCols, W,
                     &computed, &quarters);
  // The fine stage was the last reader of the image.
  image.release();
  endStage(times.fineStage);

  report.pixelSearch = searchThreshold(quarters, quantileTable, kBins, kPixelTarget,
                                       kPixelTolerance, kPixelStartFraction);
  result.create(H, W, CV_8UC1);
  adviseHugePages(result.data, pixelCells);
  const MarkCounts pixelCounts =
      markComputedField(pixelField, result.ptr<unsigned char>(), H, W,
                        report.pixelSearch.threshold, computed);

  const std::uint32_t t1 = GetTickCount();
  endStage(times.pixelSearch);
  report.elapsedMs = elapsedTicks(t0, t1);

  report.pixelCellsComputed = pixelCounts.nonZero;
  report.selectedPixels = pixelCounts.marked;
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
  // Element counts are formed in 32-bit int throughout the stages, and so are
  // the surface positions, 20 times a row or column index.
  constexpr int kMaxSide = std::numeric_limits<int>::max() / 20;
  if (static_cast<long long>(image.rows) * image.cols >= (1LL << 31) ||
      image.rows > kMaxSide || image.cols > kMaxSide) {
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
