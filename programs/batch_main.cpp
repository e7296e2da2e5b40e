// contours-batch OUTPUT_DIR IMAGE...: analyses many images in one process.
// Each image is decoded and analysed exactly as contours does it, and its
// result written to OUTPUT_DIR/<image file name>.bmp, the same bits contours
// writes to GC_res.bmp. A result never replaces an existing file: when the
// name is taken (an input of the same name earlier on the command line, another
// process, an earlier run) it goes to <image file name>.2.bmp, .3.bmp, ...,
// the first free one.
//
// Images are decoded on two threads and written on another while the
// analysis, single-threaded like contours', runs on the main thread.
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
//
// Like contours, no input, file-system state or resource limit ends it by a
// signal: a reader that closes standard output does not stop the work (every
// result is still written), and a file-size limit fails the write of that
// image. SIGINT, SIGTERM and SIGHUP end it after removing the temporary file
// of the result being written; results already filed stay.

#include <malloc.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "batch_output.hpp"
#include "image_file.hpp"
#include "result_file.hpp"
#include "contours.hpp"
#include "support/vector_choice.hpp"

namespace {

constexpr int kAllWritten = 0;
constexpr int kSomeFailed = 1;
constexpr int kWrongArguments = 2;
constexpr int kBadOutputDir = 3;

// What is left to do for one image once its analysis is over: report its
// error, or file its result and report that.
struct Outcome {
  std::string path;
  std::string error;  // why the image failed before a result existed
  cv::Mat result;     // the result to file, when error is empty
  int width = 0;
  int height = 0;
  std::uint32_t elapsedMs = 0;
  long long selectedPixels = 0;
};

// Files each result and prints its line, strictly in the order the images
// were given. Writing a result and flushing it to disk mostly waits for the
// device, so it runs on a thread of its own while the next image is decoded
// and analysed; at most kMaxPending results wait for it.
class ResultFiler {
 public:
  explicit ResultFiler(std::string outputDir) : outputDir_(std::move(outputDir)) {
    try {
      worker_ = std::thread([this] { work(); });
    } catch (const std::system_error&) {
      // No thread: every outcome is filed as it is submitted.
    }
  }
  ResultFiler(const ResultFiler&) = delete;
  ResultFiler& operator=(const ResultFiler&) = delete;
  ~ResultFiler() { finish(); }

  void submit(Outcome outcome) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (worker_.joinable()) {
      roomOrIdle_.wait(lock, [this] { return pending_.size() < kMaxPending; });
      try {
        pending_.push_back(std::move(outcome));
        work_.notify_one();
        return;
      } catch (const std::bad_alloc&) {
        // Filed here instead, once everything before it is done.
        roomOrIdle_.wait(lock, [this] { return pending_.empty() && !busy_; });
      }
    }
    lock.unlock();
    const bool ok = file(outcome);
    lock.lock();
    allFiled_ = allFiled_ && ok;
  }

  // Waits until every outcome is filed; returns whether all were written.
  bool finish() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closing_ = true;
    }
    work_.notify_one();
    if (worker_.joinable()) worker_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    return allFiled_;
  }

 private:
  static constexpr std::size_t kMaxPending = 4;

  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      work_.wait(lock, [this] { return closing_ || !pending_.empty(); });
      if (pending_.empty()) return;  // closing and nothing left
      Outcome outcome = std::move(pending_.front());
      pending_.pop_front();
      busy_ = true;
      lock.unlock();
      roomOrIdle_.notify_one();
      const bool ok = file(outcome);
      lock.lock();
      busy_ = false;
      allFiled_ = allFiled_ && ok;
      roomOrIdle_.notify_one();
    }
  }

  bool file(const Outcome& outcome) {
    try {
      if (!outcome.error.empty()) {
        std::cout << outcome.path << "\terror: " << outcome.error << std::endl;
        return false;
      }
      std::string error;
      const std::string written = contours::publishResult(
          outputDir_, contours::resultBaseName(outcome.path), outcome.result,
          error);
      if (written.empty()) {
        std::cout << outcome.path << "\terror: " << error << std::endl;
        return false;
      }
      std::cout << outcome.path << '\t' << outcome.width << 'x' << outcome.height
                << '\t' << outcome.elapsedMs << " ms\t" << outcome.selectedPixels
                << " selected\t" << written << std::endl;
      return true;
    } catch (const std::bad_alloc&) {
      std::cout << outcome.path << "\terror: not enough memory" << std::endl;
      return false;
    }
  }

  const std::string outputDir_;
  std::mutex mutex_;
  std::condition_variable work_;        // an outcome is waiting, or closing
  std::condition_variable roomOrIdle_;  // the queue shrank or the worker rests
  std::deque<Outcome> pending_;
  bool busy_ = false;
  bool closing_ = false;
  bool allFiled_ = true;
  std::thread worker_;  // last: starts once everything above exists
};

// Decodes the images ahead of the analysis, on threads of their own (decoding
// a small PNG takes longer than analysing it, so one thread alone would keep
// the analysis waiting). The images are handed out in the order given. The
// readers decode ahead only while the image being analysed is small, at most
// kAhead images beyond it; for a large one they wait until the analysis asks
// for the next, so that large images are held no more than when decoded in
// turn.
class ImageReader {
 public:
  ImageReader(char** paths, int count) : paths_(paths), count_(count) {
    try {
      for (int t = 0; t < kAhead; ++t) workers_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
      // Fewer threads (perhaps none: then every image is decoded when asked
      // for).
    }
  }
  ImageReader(const ImageReader&) = delete;
  ImageReader& operator=(const ImageReader&) = delete;
  ~ImageReader() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }

  // The decoded image i, for i = 0, 1, ... in turn.
  contours::ReadResult next(int i) {
    if (workers_.empty()) return contours::readImage(paths_[i]);
    std::unique_lock<std::mutex> lock(mutex_);
    allowed_ = std::max(allowed_, i);
    changed_.notify_all();
    Slot& slot = slots_[i % kSlots];
    changed_.wait(lock, [&slot, i] { return slot.index == i; });
    contours::ReadResult read = std::move(slot.read);
    slot.index = -1;
    const long long pixels = static_cast<long long>(read.image.rows) * read.image.cols;
    if (pixels <= kAheadPixels) allowed_ = std::max(allowed_, i + kAhead);
    changed_.notify_all();
    return read;
  }

 private:
  static constexpr int kAhead = 2;
  static constexpr long long kAheadPixels = 4000000;

  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] {
        return stopping_ || nextToRead_ >= count_ || nextToRead_ <= allowed_;
      });
      if (stopping_ || nextToRead_ >= count_) return;
      const int i = nextToRead_++;
      lock.unlock();
      contours::ReadResult read = contours::readImage(paths_[i]);
      lock.lock();
      slots_[i % kSlots] = {i, std::move(read)};
      changed_.notify_all();
    }
  }

  char** const paths_;
  const int count_;
  std::mutex mutex_;
  std::condition_variable changed_;
  // Images decoded and not yet handed out, image i in slot i % kSlots: those
  // the readers may have decoded and the analysis not taken are at most
  // kAhead consecutive ones, so none waits for a slot.
  struct Slot {
    int index = -1;  // the image held, or none
    contours::ReadResult read;
  };
  static constexpr int kSlots = kAhead + 1;
  Slot slots_[kSlots];
  int nextToRead_ = 0;
  int allowed_ = -1;  // the last image the readers may decode yet
  bool stopping_ = false;
  std::vector<std::thread> workers_;  // last: start once everything above exists
};

// Analyses one decoded image.
Outcome analyseOne(const char* path, contours::ReadResult read) {
  Outcome outcome;
  outcome.path = path;
  if (read.status != contours::ReadStatus::Ok) {
    outcome.error = read.status == contours::ReadStatus::OutOfMemory
                        ? "not enough memory"
                        : "cannot read or decode the image";
    return outcome;
  }
  cv::Mat image = std::move(read.image);
  outcome.width = image.cols;
  outcome.height = image.rows;

  const contours::AnalysisReport report =
      contours::analyseImage(std::move(image), outcome.result);
  switch (report.status) {
    case contours::AnalysisStatus::Ok:
      break;
    case contours::AnalysisStatus::TooLarge:
      outcome.error = "image too large";
      return outcome;
    case contours::AnalysisStatus::OutOfMemory:
      outcome.error = "not enough memory";
      return outcome;
    case contours::AnalysisStatus::BadImage:
      outcome.error = "cannot read or decode the image";
      return outcome;
  }
  outcome.elapsedMs = report.elapsedMs;
  outcome.selectedPixels = report.selectedPixels;
  return outcome;
}

int run(int argc, char** argv) {
  if (argc < 3) {
    std::cout << "Usage: contours-batch OUTPUT_DIR IMAGE..." << std::endl;
    return kWrongArguments;
  }
  // As contours does: a vector build that cannot be had is refused before any
  // work, not silently replaced by another.
  const contours::VectorBuildRequest isa = contours::requestedVectorBuild();
  if (isa.refused()) {
    std::cout << "contours-batch: CONTOURS_ISA=" << isa.value << ": " << isa.refusal()
              << std::endl;
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

  // Every image allocates and frees the same large working arrays. Served
  // from the heap and kept there, they are reused from one image to the next
  // instead of being mapped, faulted in page by page and unmapped each time.
  ::mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
  ::mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);

  // The decoders' first use, on this thread before the others start, where
  // running out of memory in it can be caught: then no image can be read.
  if (!contours::prepareDecoders()) {
    for (int i = 2; i < argc; ++i)
      std::cout << argv[i] << "\terror: not enough memory" << std::endl;
    return kSomeFailed;
  }

  ResultFiler filer(outputDir);
  ImageReader reader(argv + 2, argc - 2);
  for (int i = 2; i < argc; ++i) {
    Outcome outcome;
    try {
      outcome = analyseOne(argv[i], reader.next(i - 2));
    } catch (const std::bad_alloc&) {
      outcome = Outcome();
      outcome.path = argv[i];
      outcome.error = "not enough memory";
    }
    filer.submit(std::move(outcome));
  }
  return filer.finish() ? kAllWritten : kSomeFailed;
}

}  // namespace

int main(int argc, char** argv) {
  // Before the writer thread starts, so that it inherits the dispositions.
  contours::prepareProcess();
  return run(argc, argv);
}
