// contours-batch OUTPUT_DIR IMAGE...: analyses many images in one process.
// Each image is decoded and analysed exactly as contours does it, and its
// result written to OUTPUT_DIR/<image file name>.bmp, the same bits contours
// writes to GC_res.bmp. A result never replaces an existing file: when the
// name is taken (an input of the same name earlier on the command line, another
// process, an earlier run) it goes to <image file name>.2.bmp, .3.bmp, ...,
// the first free one.
//
// One line per image on standard output, fields separated by tabs:
//   PATH  WIDTHxHEIGHT  N ms  N selected  RESULT_PATH
//   PATH  error: REASON
//
// Exit statuses:
//   0  every image was analysed and its result written
//   1  at least one image failed (the others were still processed)
//   2  wrong arguments (no output directory or no image)
//   3  the output directory cannot be created or is not a directory

#include <filesystem>
#include <iostream>
#include <new>
#include <string>
#include <system_error>

#include <opencv2/imgcodecs.hpp>

#include "batch_output.hpp"
#include "contours.hpp"

namespace {

constexpr int kAllWritten = 0;
constexpr int kSomeFailed = 1;
constexpr int kWrongArguments = 2;
constexpr int kBadOutputDir = 3;

// Decodes exactly as contours does: 3-channel 8-bit BGR, and a decoder that
// refuses its input by throwing is a read error like any other.
cv::Mat loadImage(const char* path) {
  try {
    return cv::imread(path, cv::IMREAD_COLOR);
  } catch (const cv::Exception&) {
  } catch (const std::bad_alloc&) {
  }
  return cv::Mat();
}

// Analyses one image and files its result; prints its line. Returns whether
// it succeeded.
bool processOne(const std::string& outputDir, const char* path) {
  cv::Mat image = loadImage(path);
  if (image.data == nullptr) {
    std::cout << path << "\terror: cannot read or decode the image" << std::endl;
    return false;
  }
  const int width = image.cols;
  const int height = image.rows;

  cv::Mat result;
  const contours::AnalysisReport report =
      contours::analyseImage(std::move(image), result);
  switch (report.status) {
    case contours::AnalysisStatus::Ok:
      break;
    case contours::AnalysisStatus::TooLarge:
      std::cout << path << "\terror: image too large" << std::endl;
      return false;
    case contours::AnalysisStatus::OutOfMemory:
      std::cout << path << "\terror: not enough memory" << std::endl;
      return false;
    case contours::AnalysisStatus::BadImage:
      std::cout << path << "\terror: cannot read or decode the image" << std::endl;
      return false;
  }

  std::string error;
  const std::string written = contours::publishResult(
      outputDir, contours::resultBaseName(path), result, error);
  if (written.empty()) {
    std::cout << path << "\terror: " << error << std::endl;
    return false;
  }
  std::cout << path << '\t' << width << 'x' << height << '\t'
            << report.elapsedMs << " ms\t" << report.selectedPixels
            << " selected\t" << written << std::endl;
  return true;
}

int run(int argc, char** argv) {
  if (argc < 3) {
    std::cout << "Usage: contours-batch OUTPUT_DIR IMAGE..." << std::endl;
    return kWrongArguments;
  }
  const std::string outputDir = argv[1];
  std::error_code ec;
  std::filesystem::create_directories(outputDir, ec);
  if (!ec && !std::filesystem::is_directory(outputDir, ec)) {
    ec = std::make_error_code(std::errc::not_a_directory);
  }
  if (ec) {
    std::cout << "contours-batch: cannot use output directory " << outputDir
              << ": " << ec.message() << std::endl;
    return kBadOutputDir;
  }

  bool allWritten = true;
  for (int i = 2; i < argc; ++i) {
    bool ok = false;
    try {
      ok = processOne(outputDir, argv[i]);
    } catch (const std::bad_alloc&) {
      std::cout << argv[i] << "\terror: not enough memory" << std::endl;
    }
    allWritten = allWritten && ok;
  }
  return allWritten ? kAllWritten : kSomeFailed;
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }
