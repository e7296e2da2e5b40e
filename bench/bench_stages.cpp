// bench_stages IMAGE [REPETITIONS [THREADS]]
//
// Times, in one process, the analysis of IMAGE stage by stage and as a whole
// at several thread counts, beside edge-detection anchors computed on the same
// image: grey (cvtColor + Canny) with OpenCV on one thread and on its default
// thread count, and colour (Sobel on the three channels + Canny on the
// gradients) on one thread.
//
// THREADS is a comma-separated list of AnalysisOptions::threads values
// (default 1,2,0; 0 is one per core, printed "all"); 1 is always measured.
// The single-thread measurements run with cv::setNumThreads(1), the others
// with OpenCV's default thread count, which caps how many bands run at once.
//
// Every measurement is run once to warm up and then REPETITIONS times
// (default 7): each anchor in a block of its own, as before threads were
// measured (a Canny run right after an analysis took three times as long on
// a 1-megapixel photograph); the analysis's thread counts take turns within
// each round, so that they share the machine's quiet and busy moments
// alike. Each row prints the
// median in ms and ms/MP, its ratio to the single-thread grey Canny and to the
// default-threaded one, and its speed-up over the same measurement on one
// thread. The analysis rows are its four stages, their sum (the interval the
// analysis reports, to a fraction of a millisecond), the whole milliseconds
// it reports, and the whole call. Round 0 also checks that every thread
// count gives one thread's result.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
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

// Sets OpenCV's thread count and starts its workers outside any timed
// interval (setting 1 stops them; the next parallel loop would start them).
void useOpenCvThreads(int count) {
  cv::setNumThreads(count);
  cv::parallel_for_(cv::Range(0, std::max(1, count)), [](const cv::Range&) {});
}

// Parses "1,2,0" into thread counts, 1 first and each once; empty on error.
std::vector<int> parseThreadList(const char* text) {
  std::vector<int> counts = {1};
  std::string item;
  for (const char* c = text;; ++c) {
    if (*c == ',' || *c == '\0') {
      char* end = nullptr;
      const long value = std::strtol(item.c_str(), &end, 10);
      if (item.empty() || *end != '\0' || value < 0 || value > 1024) return {};
      if (std::find(counts.begin(), counts.end(), value) == counts.end())
        counts.push_back(static_cast<int>(value));
      item.clear();
      if (*c == '\0') break;
    } else {
      item += *c;
    }
  }
  return counts;
}

// The parallel runtime OpenCV was built with, as its build information says.
std::string parallelFramework() {
  const std::string info = cv::getBuildInformation();
  const std::string key = "Parallel framework:";
  const size_t at = info.find(key);
  if (at == std::string::npos) return "unknown";
  const size_t begin = info.find_first_not_of(' ', at + key.size());
  return info.substr(begin, info.find('\n', begin) - begin);
}

std::string threadLabel(int threads) { return threads == 0 ? "all" : std::to_string(threads); }

// One analysis configuration and its samples.
struct AnalysisRuns {
  int threads = 1;
  std::vector<double> whole, surface, blockSearch, fineStage, pixelSearch, stages, ticks;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::printf("usage: bench_stages IMAGE [REPETITIONS [THREADS]]\n");
    return 2;
  }
  const int repetitions = argc >= 3 ? std::max(1, std::atoi(argv[2])) : 7;
  const std::vector<int> threadCounts = parseThreadList(argc == 4 ? argv[3] : "1,2,0");
  if (threadCounts.empty()) {
    std::printf("THREADS is a comma-separated list of counts from 0 to 1024\n");
    return 2;
  }
  // OpenCV's own default (one per core, or OPENCV_FOR_THREADS_NUM), before
  // anything changes it.
  const int defaultThreads = cv::getNumThreads();

  const cv::Mat image = cv::imread(argv[1], cv::IMREAD_COLOR);
  if (image.empty()) {
    std::printf("cannot read %s\n", argv[1]);
    return 2;
  }
  const double megapixels = image.total() / 1e6;

  // Anchors. Output and intermediate matrices are created inside the timed
  // body, as the analysis creates its own arrays.
  const auto greyCannyBody = [&] {
    cv::Mat grey, edges;
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    cv::Canny(grey, edges, 50, 150);
  };
  const auto colourCannyBody = [&] {
    cv::Mat dx, dy, edges;
    cv::Sobel(image, dx, CV_16S, 1, 0, 3);
    cv::Sobel(image, dy, CV_16S, 0, 1, 3);
    cv::Canny(dx, dy, edges, 50, 150);
  };
  useOpenCvThreads(1);
  const double grey1 = timeMedian(repetitions, greyCannyBody);
  const double colour1 = timeMedian(repetitions, colourCannyBody);
  useOpenCvThreads(defaultThreads);
  const double greyDefault = timeMedian(repetitions, greyCannyBody);

  std::vector<AnalysisRuns> runs(threadCounts.size());
  for (size_t i = 0; i < runs.size(); ++i) runs[i].threads = threadCounts[i];
  contours::AnalysisReport report;  // the single-thread run's
  cv::Mat singleResult;

  // The analysis, the thread counts taking turns: round 0 warms up and checks
  // that every count finds what one thread finds; rounds 1 to repetitions
  // are timed.
  for (int round = 0; round <= repetitions; ++round) {
    const bool timed = round > 0;
    for (const bool single : {true, false}) {
      useOpenCvThreads(single ? 1 : defaultThreads);
      for (AnalysisRuns& r : runs) {
        if ((r.threads == 1) != single) continue;
        // Every run gets its own copy of the decoded image, made outside the
        // timed interval.
        cv::Mat copy = image.clone();
        cv::Mat result;
        contours::StageTimes times;
        contours::AnalysisOptions options;
        options.threads = r.threads;
        const double start = nowMs();
        const contours::AnalysisReport runReport =
            contours::analyseImageTimed(std::move(copy), result, times, options);
        const double elapsed = nowMs() - start;
        if (runReport.status != contours::AnalysisStatus::Ok) {
          std::printf("analysis failed with threads %s\n", threadLabel(r.threads).c_str());
          return 1;
        }
        if (r.threads == 1) {
          report = runReport;
          if (!timed) singleResult = result;
        } else if (!timed && (runReport.selectedPixels != report.selectedPixels ||
                              runReport.pixelCellsComputed != report.pixelCellsComputed ||
                              cv::norm(result, singleResult, cv::NORM_INF) != 0)) {
          std::printf("threads %s: the result differs from one thread's\n",
                      threadLabel(r.threads).c_str());
          return 1;
        }
        if (!timed) continue;
        r.whole.push_back(elapsed);
        r.surface.push_back(times.surface);
        r.blockSearch.push_back(times.blockSearch);
        r.fineStage.push_back(times.fineStage);
        r.pixelSearch.push_back(times.pixelSearch);
        r.stages.push_back(times.surface + times.blockSearch + times.fineStage +
                           times.pixelSearch);
        r.ticks.push_back(runReport.elapsedMs);
      }
    }
    singleResult.release();  // checked: no timed run holds it
  }

  std::printf("image %s: %d x %d = %.2f MP; median of %d runs; %d cores, OpenCV default "
              "%d threads (%s)\n",
              argv[1], image.cols, image.rows, megapixels, repetitions, cv::getNumberOfCPUs(),
              defaultThreads, parallelFramework().c_str());
  std::printf("block search: %zu evaluations, pixel search: %zu; %lld pixel cells computed (%.0f%%)\n",
              report.blockSearch.evaluations.size(),
              report.pixelSearch.evaluations.size(), report.pixelCellsComputed,
              100.0 * report.pixelCellsComputed / image.total());
  std::printf("x grey1, x greyD: ratio to grey Canny on 1 thread, on OpenCV's default; "
              "speed-up: 1-thread ms / this ms\n");
  std::printf("%-34s %7s %9s %8s %8s %8s %8s\n", "measurement", "threads", "ms", "ms/MP",
              "x grey1", "x greyD", "speed-up");
  const auto line = [&](const char* name, const std::string& threads, double ms, double oneThreadMs) {
    // Whole milliseconds can be 0 on small images: no speed-up then.
    char speedUp[16] = "-";
    if (ms > 0) std::snprintf(speedUp, sizeof speedUp, "%.2f", oneThreadMs / ms);
    std::printf("%-34s %7s %9.2f %8.2f %8.3f %8.3f %8s\n", name, threads.c_str(), ms,
                ms / megapixels, ms / grey1, ms / greyDefault, speedUp);
  };
  line("grey Canny (cvtColor + Canny)", "1", grey1, grey1);
  line("grey Canny (cvtColor + Canny)", "default", greyDefault, grey1);
  line("colour Canny (3x Sobel + Canny)", "1", colour1, colour1);
  using Samples = std::vector<double> AnalysisRuns::*;
  const struct {
    const char* name;
    Samples samples;
  } rows[] = {{"  surface pass", &AnalysisRuns::surface},
              {"  table + block search", &AnalysisRuns::blockSearch},
              {"  masks + fine stage", &AnalysisRuns::fineStage},
              {"  pixel search", &AnalysisRuns::pixelSearch},
              {"analysis, the stages summed", &AnalysisRuns::stages},
              {"analysis as main times it", &AnalysisRuns::ticks},
              {"analyseImage, whole call", &AnalysisRuns::whole}};
  for (const auto& row : rows) {
    const double oneThread = median(runs.front().*row.samples);
    for (const AnalysisRuns& r : runs)
      line(row.name, threadLabel(r.threads), median(r.*row.samples), oneThread);
  }
  return 0;
}
