// bench_stages IMAGE [REPETITIONS]
//
// Times, in one single-threaded process, the analysis of IMAGE stage by stage
// and as a whole, beside two edge-detection anchors computed on the same
// image: grey (cvtColor + Canny) and colour (Sobel on the three channels +
// Canny on the gradients). Every measurement is run once to warm up and then
// REPETITIONS times (default 7); the median is printed with its ratio to the
// grey anchor and its cost per megapixel.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <contours/contours.hpp>
#include "driver/pipeline.hpp"

namespace {

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

double nowMs() { return cv::getTickCount() * 1000.0 / cv::getTickFrequency(); }

// Median of repetitions runs of body, after one warm-up run.
double timeMedian(int repetitions, const std::function<void()>& body) {
  body();
  std::vector<double> samples;
  for (int r = 0; r < repetitions; ++r) {
    const double start = nowMs();
    body();
    samples.push_back(nowMs() - start);
  }
  return median(samples);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::printf("usage: bench_stages IMAGE [REPETITIONS]\n");
    return 2;
  }
  const int repetitions = argc == 3 ? std::max(1, std::atoi(argv[2])) : 7;
  cv::setNumThreads(1);

  const cv::Mat image = cv::imread(argv[1], cv::IMREAD_COLOR);
  if (image.empty()) {
    std::printf("cannot read %s\n", argv[1]);
    return 2;
  }
  const double megapixels = image.total() / 1e6;

  // Anchors. Output and intermediate matrices are created inside the timed
  // body, as the analysis creates its own arrays.
  const double greyCanny = timeMedian(repetitions, [&] {
    cv::Mat grey, edges;
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    cv::Canny(grey, edges, 50, 150);
  });
  const double colourCanny = timeMedian(repetitions, [&] {
    cv::Mat dx, dy, edges;
    cv::Sobel(image, dx, CV_16S, 1, 0, 3);
    cv::Sobel(image, dy, CV_16S, 0, 1, 3);
    cv::Canny(dx, dy, edges, 50, 150);
  });

  // The analysis: one warm-up, then the repetitions; every run gets its own
  // copy of the decoded image, made outside the timed interval.
  std::vector<double> whole, surface, blockSearch, fineStage, pixelSearch, ticks;
  contours::AnalysisReport report;
  for (int r = 0; r <= repetitions; ++r) {
    cv::Mat copy = image.clone();
    cv::Mat result;
    const double start = nowMs();
    contours::StageTimes times;
    report = contours::analyseImageTimed(std::move(copy), result, times);
    const double elapsed = nowMs() - start;
    if (report.status != contours::AnalysisStatus::Ok) {
      std::printf("analysis failed\n");
      return 1;
    }
    if (r == 0) continue;
    whole.push_back(elapsed);
    surface.push_back(times.surface);
    blockSearch.push_back(times.blockSearch);
    fineStage.push_back(times.fineStage);
    pixelSearch.push_back(times.pixelSearch);
    ticks.push_back(report.elapsedMs);
  }

  std::printf("image %s: %d x %d = %.2f MP; median of %d runs, 1 thread\n",
              argv[1], image.cols, image.rows, megapixels, repetitions);
  std::printf("block search: %zu evaluations, pixel search: %zu; %lld pixel cells computed (%.0f%%)\n",
              report.blockSearch.evaluations.size(),
              report.pixelSearch.evaluations.size(), report.pixelCellsComputed,
              100.0 * report.pixelCellsComputed / image.total());
  std::printf("%-34s %10s %9s %9s\n", "measurement", "ms", "x grey", "ms/MP");
  const auto line = [&](const char* name, double ms) {
    std::printf("%-34s %10.2f %9.3f %9.2f\n", name, ms, ms / greyCanny, ms / megapixels);
  };
  line("grey Canny (cvtColor + Canny)", greyCanny);
  line("colour Canny (3x Sobel + Canny)", colourCanny);
  line("  surface pass", median(surface));
  line("  table + block search", median(blockSearch));
  line("  masks + fine stage", median(fineStage));
  line("  pixel search", median(pixelSearch));
  line("analysis as main times it", median(ticks));
  line("analyseImage, whole call", median(whole));
  return 0;
}
