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
//        (" --(!) CONTOURS_ISA=<value>: ... "), or CONTOURS_THREADS is not a
//        thread count (" --(!) CONTOURS_THREADS=<value>: ... ")
//
// CONTOURS_THREADS is the thread count of the analysis: unset or empty, 1;
// 0, one per core; else 1 to 1024 (see thread_count.hpp). Every count gives
// the same result.
//
// "contours --help" prints the usage and "contours --version" the version,
// status 0, unless a file of that name exists (which is then analysed).
// Every message goes to standard output. No input, file-system state or
// resource limit ends the run by a signal: a pipe closed by the reader of
// standard output or a file-size limit turns into a failed write instead.
// SIGINT, SIGTERM and SIGHUP still end it, but only after the temporary file
// of a write in progress is removed; an earlier GC_res.bmp stays as it was.

#include <sys/stat.h>

#include <iostream>
#include <string>
#include <utility>


#include <contours/contours.hpp>
#include <contours/version.hpp>

#include "failure.hpp"
#include "image_file.hpp"
#include "result_file.hpp"
#include "support/vector_choice.hpp"
#include "thread_count.hpp"

namespace {

constexpr int kWrongArguments = 255;
constexpr int kWriteError = 253;
constexpr int kBadEnvironment = 250;

const char* const kResultFile = "GC_res.bmp";

const char* const kUsage =
    "Usage: contours IMAGE\n"
    "Writes the pixels on IMAGE's salient colour contours to GC_res.bmp in the\n"
    "working directory: 0 on contour pixels, 255 elsewhere.\n"
    "CONTOURS_THREADS: threads for the analysis, 0 for one per core (default 1).\n"
    "See contours(1).\n";

// A failure's console line and exit status.
int fail(contours::Failure failure) {
  std::cout << contours::consoleLineOf(failure) << std::endl;
  return contours::exitStatusOf(failure);
}

// --help and --version, as every user types first; a file of that name is
// analysed as any other.
bool answeredOption(const char* argument) {
  const std::string option = argument;
  if (option != "--help" && option != "--version") return false;
  struct stat info {};
  if (::stat(argument, &info) == 0) return false;
  if (option == "--help")
    std::cout << kUsage << std::flush;
  else
    std::cout << "contours " << contours::version() << std::endl;
  return true;
}

int run(int argc, char** argv) {
  if (argc != 2) {
    std::cout << "Wrong number of arguments!" << std::endl;
    return kWrongArguments;
  }
  if (answeredOption(argv[1])) return 0;

  const contours::VectorBuildRequest isa = contours::requestedVectorBuild();
  if (isa.refused()) {
    std::cout << " --(!) CONTOURS_ISA=" << isa.value << ": " << isa.refusal() << " "
              << std::endl;
    return kBadEnvironment;
  }
  const contours::ThreadCountRequest threads = contours::requestedThreadCount();
  if (threads.refused()) {
    std::cout << " --(!) CONTOURS_THREADS=" << threads.value << ": " << threads.refusal()
              << " " << std::endl;
    return kBadEnvironment;
  }

  // The decoders' first use, on this thread, where running out of memory in it
  // can be caught; and the analysis threads' start, outside its time.
  if (!contours::prepareDecoders()) return fail(contours::Failure::OutOfMemory);
  contours::startThreads(threads.threads);
  contours::ReadResult read = contours::readImage(argv[1]);
  if (read.status != contours::ReadStatus::Ok)
    return fail(contours::failureOf(read.status));
  cv::Mat image = std::move(read.image);

  std::cout << "Width of image: " << image.cols << std::endl;
  std::cout << "Height of image: " << image.rows << std::endl;
  std::cout << std::endl;

  cv::Mat result;
  contours::AnalysisOptions options;
  options.threads = threads.threads;
  const contours::AnalysisReport report =
      contours::analyseImage(std::move(image), result, options);
  if (report.status != contours::AnalysisStatus::Ok)
    return fail(contours::failureOf(report.status));

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
