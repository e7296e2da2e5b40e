// contours IMAGE: writes the pixels on the image's salient colour contours to
// GC_res.bmp in the working directory, 0 on contour pixels, 255 elsewhere.
//
// Exit statuses:
//   0    the analysis ran and GC_res.bmp holds its result
//   255  wrong number of arguments ("Wrong number of arguments!")
//   254  the image cannot be read or decoded (" --(!) Error reading images ")
//   253  GC_res.bmp could not be written; an earlier one is left as it was
//        (" --(!) Error writing GC_res.bmp ")
//   252  the image has 2^31 pixels or more, or a side of more than 107374182
//        pixels (" --(!) Image too large ")
//   251  the image's pixels or the working arrays cannot be allocated
//        (" --(!) Not enough memory ")
//   250  CONTOURS_ISA names a vector build this processor cannot run, or none
//        (" --(!) CONTOURS_ISA=<value>: ... ")
// Every message goes to standard output. No input, file-system state or
// resource limit ends the run by a signal: a pipe closed by the reader of
// standard output or a file-size limit turns into a failed write instead.
// SIGINT, SIGTERM and SIGHUP still end it, but only after the temporary file
// of a write in progress is removed; an earlier GC_res.bmp stays as it was.

#include <iostream>
#include <string>
#include <utility>

#include <opencv2/imgcodecs.hpp>

#include "contours.hpp"
#include "image_file.hpp"
#include "result_file.hpp"
#include "support/vector_choice.hpp"

namespace {

constexpr int kWrongArguments = -1;  // 255
constexpr int kReadError = -2;       // 254
constexpr int kWriteError = -3;      // 253
constexpr int kTooLarge = -4;        // 252
constexpr int kOutOfMemory = -5;     // 251
constexpr int kNoVectorBuild = -6;   // 250

const char* const kResultFile = "GC_res.bmp";

int run(int argc, char** argv) {
  if (argc != 2) {
    std::cout << "Wrong number of arguments!" << std::endl;
    return kWrongArguments;
  }

  const contours::VectorBuildRequest isa = contours::requestedVectorBuild();
  if (isa.refused()) {
    std::cout << " --(!) CONTOURS_ISA=" << isa.value << ": " << isa.refusal() << " "
              << std::endl;
    return kNoVectorBuild;
  }

  // The decoders' first use, on this thread, where running out of memory in it
  // can be caught.
  if (!contours::prepareDecoders()) {
    std::cout << " --(!) Not enough memory " << std::endl;
    return kOutOfMemory;
  }
  contours::ReadResult read = contours::readImage(argv[1]);
  if (read.status == contours::ReadStatus::OutOfMemory) {
    std::cout << " --(!) Not enough memory " << std::endl;
    return kOutOfMemory;
  }
  if (read.status != contours::ReadStatus::Ok) {
    std::cout << " --(!) Error reading images \n" << std::endl;
    return kReadError;
  }
  cv::Mat image = std::move(read.image);

  std::cout << "Width of image: " << image.cols << std::endl;
  std::cout << "Height of image: " << image.rows << std::endl;
  std::cout << std::endl;

  cv::Mat result;
  const contours::AnalysisReport report =
      contours::analyseImage(std::move(image), result);
  switch (report.status) {
    case contours::AnalysisStatus::Ok:
      break;
    case contours::AnalysisStatus::TooLarge:
      std::cout << " --(!) Image too large " << std::endl;
      return kTooLarge;
    case contours::AnalysisStatus::OutOfMemory:
      std::cout << " --(!) Not enough memory " << std::endl;
      return kOutOfMemory;
    case contours::AnalysisStatus::BadImage:  // imread delivers 8-bit BGR only
      std::cout << " --(!) Error reading images \n" << std::endl;
      return kReadError;
  }

  std::cout << "GC time (ms): " << report.elapsedMs << std::endl;

  if (!contours::writeBmpAtomically(kResultFile, result)) {
    std::cout << " --(!) Error writing " << kResultFile << " " << std::endl;
    return kWriteError;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  contours::prepareProcess();
  return run(argc, argv);
}
