// Arbitrary bytes through the in-memory decoders into the whole analysis, the
// way the program handles a file: whatever the decoder throws or refuses is a
// read error, anything it accepts is analysed.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <utility>

#include <unistd.h>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>

#include <contours/contours.hpp>
#include "image_file.hpp"
#include "image_header.hpp"

namespace {

// Images larger than this are refused by the decoders themselves. The limit
// keeps every input fast and far below the fuzzer's memory limit; the
// program's own handling of large images is tested end to end.
const char* const kMaxPixels = "262144";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** argv) {
  // The decoders read their size limit once, when the library is loaded, so it
  // must be in the environment before the process starts: set it and start
  // again.
  if (std::getenv("OPENCV_IO_MAX_IMAGE_PIXELS") == nullptr) {
    ::setenv("OPENCV_IO_MAX_IMAGE_PIXELS", kMaxPixels, 1);
    ::execv("/proc/self/exe", *argv);
    // Not reached unless the restart fails; then fuzz with the default limit.
  }
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  // The decoders report refused input on std::cerr; millions of such lines
  // would drown the fuzzer's own output.
  static std::ostringstream sink;
  std::cerr.rdbuf(sink.rdbuf());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The programs' own decoding (with its check of where a JPEG ends) and the
  // header probe that decides what is decoded ahead both meet these bytes.
  long long width = 0, height = 0;
  if (contours::probeImageSize(data, size, width, height) && (width <= 0 || height <= 0))
    std::abort();
  contours::ReadResult read = contours::decodeImage(data, size);
  if (read.status != contours::ReadStatus::Ok) return 0;
  cv::Mat image = std::move(read.image);

  cv::Mat result;
  const int rows = image.rows;
  const int cols = image.cols;
  const contours::AnalysisReport report = contours::analyseImage(std::move(image), result);
  // Anything the decoders deliver within the pixel limit is an 8-bit colour
  // image of a few megabytes at most: it must be analysed.
  if (report.status != contours::AnalysisStatus::Ok) std::abort();
  if (result.rows != rows || result.cols != cols || result.type() != CV_8UC1) std::abort();
  return 0;
}
