#pragma once
// The analysis driver: the fixed run parameters, the millisecond clock, the
// quantile table, the threshold search and its marking, and the whole
// pipeline behind one call.

#include <array>
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include <contours/version.hpp>

namespace contours {

// Fixed parameters of every run.
constexpr int kBins = 256;               // histogram and quantile table size
constexpr int kMaskSize = 3;             // derivative masks are 3x3
constexpr int kBoxSize = 8;              // box-counting box side
constexpr float kBlockTarget = 1.8f;     // dimension sought on the block field
constexpr float kBlockTolerance = 0.1f;
constexpr double kBlockStartFraction = 0.0625;
constexpr float kPixelTarget = 1.6f;     // dimension sought on the pixel field
constexpr float kPixelTolerance = 0.1f;
constexpr double kPixelStartFraction = 0.25;

// Milliseconds since the epoch, modulo 2^32; 0 when the clock cannot be read.
std::uint32_t GetTickCount();

// Turns the block-measure histogram (bins counters) into bins candidate
// thresholds: entry k is the measure at which the cumulative share of counted
// blocks reaches (k+1)/bins, interpolated linearly inside its bin. An empty
// histogram gives NaN entries.
void buildQuantileTable(const int* histogram, float* quantileTable, int bins);

// Sets mask to 0 wherever field >= threshold (ordered: NaN never qualifies).
// rows or cols below 1 describe no cells: nothing is touched.
void fixLastSegment(const float* field, unsigned char* mask, int rows, int cols,
                    float threshold);

struct SearchEvaluation {
  int index;        // quantile table index evaluated
  float threshold;  // quantileTable[index]
  float dimension;  // dimension found there
};

struct SearchRecord {
  std::vector<SearchEvaluation> evaluations;  // in order; the last one is final
  int index = 0;
  float threshold = 0.0f;
};

// Bisects over the quantile table for the threshold whose selected set has a
// box-counting dimension within tolerance of target, starting at index
// trunc(bins * startFraction); at most 5 bisection steps, and a NaN dimension
// ends the search. Marks the cells selected by the final threshold in mask and
// returns every evaluation. Throws std::invalid_argument when the start index
// falls outside the table (startFraction not in [0, 1), or bins < 1).
SearchRecord thresholdSearch(const float* field, int rows, int cols,
                             const float* quantileTable, int bins, float target,
                             float tolerance, double startFraction, int boxSize,
                             unsigned char* mask);

// The largest image the analysis takes: fewer than 2^31 pixels (its element
// counts are 32-bit) and no side past kMaxImageSide = 107374182 (surface
// positions, 20 times an index, are 32-bit too).
constexpr long long kMaxImageSide = 2147483647 / 20;
constexpr bool analysable(long long rows, long long cols) {
  return rows <= kMaxImageSide && cols <= kMaxImageSide && rows * cols < (1LL << 31);
}

enum class AnalysisStatus {
  Ok,
  BadImage,     // not an 8-bit, 3-channel image
  TooLarge,     // not analysable(rows, cols)
  OutOfMemory,  // a working array could not be allocated
  BadOptions,   // AnalysisOptions out of range (threads below 0)
};

// How a run is carried out; nothing here changes what it finds.
struct AnalysisOptions {
  // Threads the analysis may use: it is split into that many bands, run side
  // by side on OpenCV's parallel runtime (so cv::setNumThreads caps how many
  // run at once). 1, the default, runs it on the calling thread alone; 0
  // takes one per core (cv::getNumberOfCPUs()). Every count gives the same
  // result and report, bit for bit.
  int threads = 1;
};

// Everything a run decides, for reporting and for tests.
struct AnalysisReport {
  AnalysisStatus status = AnalysisStatus::Ok;
  int width = 0;
  int height = 0;
  std::array<int, kBins> histogram{};
  std::array<float, kBins> quantileTable{};
  SearchRecord blockSearch;
  SearchRecord pixelSearch;
  long long markedBlocks = 0;        // blocks set to 0 in the block mask
  long long pixelCellsComputed = 0;  // pixel field cells that are not 0
  long long selectedPixels = 0;      // pixels set to 0 in the result
  // Milliseconds from just before the surface pass to just after the result is
  // marked, as GetTickCount measures them.
  std::uint32_t elapsedMs = 0;
};

// The whole analysis of a decoded image: 8 bits a channel, three channels in
// blue, green, red order (any such cv::Mat, a view into a larger one
// included). On success result is a continuous 8-bit single-channel image of
// the input's size: 0 on selected contour pixels, 255 elsewhere; whatever
// result held before is released. An image the caller still holds is only
// read; one passed with std::move lends the analysis its memory, so that a
// run needs little beyond the image itself.
// Never throws: failures are reported through report.status, with result
// empty.
AnalysisReport analyseImage(cv::Mat image, cv::Mat& result);
AnalysisReport analyseImage(cv::Mat image, cv::Mat& result, const AnalysisOptions& options);

// Starts the threads that runs of the given thread count use. OpenCV's
// parallel runtime starts its threads (and loads its allocator) at its first
// parallel call, some milliseconds that would otherwise fall inside the first
// such run and its time; a program may pay them beforehand, here. Optional;
// a failure is left for the run itself to meet. Never throws.
void startThreads(int threads);

}  // namespace contours
