#pragma once
// The one-call pipeline with its stage times, for benchmarks. Private to the
// library.

#include <opencv2/core.hpp>

#include <contours/contours.hpp>

namespace contours {

// Wall-clock milliseconds of each stage of one analysis. The four stages
// follow one another and together make up the timed analysis.
struct StageTimes {
  double surface = 0;      // block stage: block field and histogram
  double blockSearch = 0;  // quantile table, block search and block marking
  double fineStage = 0;    // pixel field, masks, pixel surface rows, fine measure
  double pixelSearch = 0;  // pixel search and result marking
};

// analyseImage, also filling times.
AnalysisReport analyseImageTimed(cv::Mat image, cv::Mat& result, StageTimes& times,
                                 const AnalysisOptions& options = {});

}  // namespace contours
