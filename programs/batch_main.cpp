// contours-batch OUTPUT_DIR IMAGE...: analyses many images in one process.
// Each image is decoded and analysed exactly as contours does it, and its
// result written to OUTPUT_DIR/<image file name>.bmp, the same bits contours
// writes to GC_res.bmp. A result never replaces an existing file: when the
// name is taken (an input of the same name earlier on the command line, another
// process, an earlier run) it goes to <image file name>.2.bmp, .3.bmp, ...,
// the first free one, unless a file of one of those names holds its very bytes
// already (an earlier run on the same image): that file is reported and no new
// one made. A file name too long for the folder is cut to fit.
//
// Images are decoded on two threads and written on another while the
// analysis runs on the main thread, on as many threads as CONTOURS_THREADS
// asks for, as in contours: unset or empty, 1; 0, one per core; else 1 to
// 1024 (see thread_count.hpp). Every count gives the same results.
//
// One line per image on standard output, fields separated by tabs:
//   PATH  WIDTHxHEIGHT  N ms  N selected  RESULT_PATH
//   PATH  error: REASON
//
// "contours-batch --help" prints the usage and "contours-batch --version" the
// version, status 0 (unless a folder of that name exists).
//
// Exit statuses:
//   0  every image was analysed and its result written
//   1  at least one image failed (the others were still processed)
//   2  wrong arguments (no output directory or no image), or a CONTOURS_ISA
//      or CONTOURS_THREADS that contours refuses
//      ("contours-batch: CONTOURS_THREADS=<value>: ...")
//   3  the output directory cannot be created or is not a directory
//
// Like contours, no input, file-system state or resource limit ends it by a
// signal: a reader that closes standard output does not stop the work (every
// result is still written), and a file-size limit fails the write of that
// image. SIGINT, SIGTERM and SIGHUP end it after removing the temporary file
// of the result being written; results already filed stay, each with its line.

#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include <contours/contours.hpp>
#include <contours/version.hpp>

#include "batch_output.hpp"
#include "failure.hpp"
#include "image_file.hpp"
#include "image_header.hpp"
#include "result_file.hpp"
#include "support/vector_choice.hpp"
#include "thread_count.hpp"

namespace {

constexpr int kAllWritten = 0;
constexpr int kSomeFailed = 1;
constexpr int kWrongArguments = 2;
constexpr int kBadOutputDir = 3;

const char* const kUsage =
    "Usage: contours-batch OUTPUT_DIR IMAGE...\n"
    "Analyses each IMAGE as contours does and files its result as\n"
    "OUTPUT_DIR/<image file name>.bmp.\n"
    "CONTOURS_THREADS: threads for each analysis, 0 for one per core (default 1).\n"
    "See contours-batch(1).\n";

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

// Writes a line, the pieces given and a line break, to standard output, whole
// whatever the system takes per call, and allocates nothing (so that it can
// follow the link of its result in one step, see ResultLine). A failed write
// (a reader that closed standard output) is let go: the work goes on.
void printLine(std::string_view head, std::string_view tail = {}) noexcept {
  static const char kBreak[] = "\n";
  iovec pieces[3] = {{const_cast<char*>(head.data()), head.size()},
                     {const_cast<char*>(tail.data()), tail.size()},
                     {const_cast<char*>(kBreak), 1}};
  iovec* next = pieces;
  int count = 3;
  while (count > 0) {
    const ssize_t written = ::writev(STDOUT_FILENO, next, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    std::size_t left = static_cast<std::size_t>(written);
    while (count > 0 && left >= next->iov_len) {
      left -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + left;
      next->iov_len -= left;
    }
  }
}

// The line of an analysed image, printed in the same step as its result gets
// its name: the interrupting signals are held back across both, so a result
// under its name always has its line, and the line never names a file that
// is not there. Holding them back while standard output does not take the
// line would leave the process deaf to them for as long as its reader stalls,
// so the line is only begun once standard output has room for it (waiting
// for that with the signals deliverable); only a line longer than the room a
// stalling reader leaves can still hold them back until it reads on.
class ResultLine : public contours::FilingReport {
 public:
  explicit ResultLine(std::string head) : head_(std::move(head)) {}

  void awaitRoom() override {
    pollfd out{STDOUT_FILENO, POLLOUT, 0};
    while (::poll(&out, 1, -1) < 0 && errno == EINTR) {
    }
  }

  void report(const std::string& path) noexcept override { printLine(head_, path); }

 private:
  const std::string head_;  // the fields before the result's path
};

// Files each result and prints its line, strictly in the order the images
// were given. Writing a result and flushing it to disk mostly waits for the
// device, so it runs on a thread of its own while the next image is decoded
// and analysed; at most kMaxPending results wait for it.
//
// SIGINT, SIGTERM and SIGHUP are taken by that thread alone: they are blocked
// in the thread that makes the filer, before it starts any other (which
// inherit the block), and unblocked in the filing thread but for the step
// that names a result and prints its line. Were they open in another thread,
// the handler could run there in the middle of that step and end the process
// between the two.
class ResultFiler {
 public:
  explicit ResultFiler(std::string outputDir) : folder_(std::move(outputDir)) {
    std::cout.flush();  // the lines go straight to the descriptor
    const sigset_t interrupts = contours::interruptSignals();
    masked_ = ::pthread_sigmask(SIG_BLOCK, &interrupts, &callerMask_) == 0;
    try {
      worker_ = std::thread([this] { work(); });
    } catch (const std::system_error&) {
      // No thread: every outcome is filed as it is submitted, and the signals
      // stay open where they were.
      restoreCallerMask();
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
  // Call it from the thread that made the filer.
  bool finish() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closing_ = true;
    }
    work_.notify_one();
    if (worker_.joinable()) worker_.join();
    // A signal held back meanwhile is delivered here.
    restoreCallerMask();
    std::lock_guard<std::mutex> lock(mutex_);
    return allFiled_;
  }

 private:
  static constexpr std::size_t kMaxPending = 4;

  void restoreCallerMask() {
    if (masked_) ::pthread_sigmask(SIG_SETMASK, &callerMask_, nullptr);
    masked_ = false;
  }

  void work() {
    if (masked_) ::pthread_sigmask(SIG_SETMASK, &callerMask_, nullptr);
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
        printLine(outcome.path + "\terror: " + outcome.error);
        return false;
      }
      ResultLine line(outcome.path + '\t' + std::to_string(outcome.width) + 'x' +
                      std::to_string(outcome.height) + '\t' +
                      std::to_string(outcome.elapsedMs) + " ms\t" +
                      std::to_string(outcome.selectedPixels) + " selected\t");
      std::string error;
      if (folder_.file(contours::resultBaseName(outcome.path), outcome.result, line, error)
              .empty()) {
        printLine(outcome.path + "\terror: " + error);
        return false;
      }
      return true;
    } catch (const std::bad_alloc&) {
      // Nothing allocates once a result is filed, so its line is not doubled.
      printLine(outcome.path, "\terror: not enough memory");
      return false;
    }
  }

  contours::ResultFolder folder_;  // used by one thread at a time
  sigset_t callerMask_;            // the signal mask of the filer's maker
  bool masked_ = false;            // the interrupting signals blocked there
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
// the analysis waiting). The images are handed out in the order given.
// Large images are held no more than when decoded in turn: the readers work
// ahead only while the image being analysed is small, at most kAhead images
// beyond it, and an image read ahead is decoded ahead only when its header
// says it is small too (a large file is not even read before its turn).
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
    requested_ = i;
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
  // No compressed file is larger than its pixels as BMP.
  static constexpr long long kAheadFileBytes = 3 * kAheadPixels + 65536;

  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] {
        return stopping_ || nextToRead_ >= count_ || nextToRead_ <= allowed_;
      });
      if (stopping_ || nextToRead_ >= count_) return;
      const int i = nextToRead_++;
      lock.unlock();
      contours::ReadResult read = readInTime(i);
      lock.lock();
      slots_[i % kSlots] = {i, std::move(read)};
      changed_.notify_all();
    }
  }

  // Reads and decodes image i, a large one only once the analysis asks for it.
  contours::ReadResult readInTime(int i) {
    const char* const path = paths_[i];
    struct stat info {};
    if (::stat(path, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > kAheadFileBytes &&
        !awaitTurn(i))
      return {};
    contours::FileContent content = contours::readFileContent(path);
    long long width = 0, height = 0;
    if (content.status == contours::ReadStatus::Ok &&
        !(contours::probeImageSize(content.bytes.data(), content.bytes.size(), width, height) &&
          width * height <= kAheadPixels) &&
        !awaitTurn(i))
      return {};
    return contours::decodeContent(std::move(content), path);
  }

  // Waits until the analysis asks for image i; false when stopping instead.
  bool awaitTurn(int i) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this, i] { return stopping_ || requested_ >= i; });
    return !stopping_;
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
  int allowed_ = -1;    // the last image the readers may work on yet
  int requested_ = -1;  // the image the analysis waits for or works on
  bool stopping_ = false;
  std::vector<std::thread> workers_;  // last: start once everything above exists
};

// Analyses one decoded image.
Outcome analyseOne(const char* path, contours::ReadResult read,
                   const contours::AnalysisOptions& options) {
  Outcome outcome;
  outcome.path = path;
  if (read.status != contours::ReadStatus::Ok) {
    outcome.error = contours::reasonOf(contours::failureOf(read.status));
    return outcome;
  }
  cv::Mat image = std::move(read.image);
  outcome.width = image.cols;
  outcome.height = image.rows;

  const contours::AnalysisReport report =
      contours::analyseImage(std::move(image), outcome.result, options);
  if (report.status != contours::AnalysisStatus::Ok) {
    outcome.error = contours::reasonOf(contours::failureOf(report.status));
    return outcome;
  }
  outcome.elapsedMs = report.elapsedMs;
  outcome.selectedPixels = report.selectedPixels;
  return outcome;
}

int run(int argc, char** argv) {
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "--version")) {
    struct stat info {};
    if (::stat(argv[1], &info) != 0) {  // not a folder of that name
      if (std::string(argv[1]) == "--version")
        std::cout << "contours-batch " << contours::version() << std::endl;
      else
        std::cout << kUsage << std::flush;
      return kAllWritten;
    }
  }
  if (argc < 3) {
    std::cout << kUsage << std::flush;
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
  const contours::ThreadCountRequest threads = contours::requestedThreadCount();
  if (threads.refused()) {
    std::cout << "contours-batch: CONTOURS_THREADS=" << threads.value << ": "
              << threads.refusal() << std::endl;
    return kWrongArguments;
  }
  contours::AnalysisOptions options;
  options.threads = threads.threads;
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
      std::cout << argv[i] << "\terror: "
                << contours::reasonOf(contours::Failure::OutOfMemory) << std::endl;
    return kSomeFailed;
  }

  contours::startThreads(options.threads);
  ResultFiler filer(outputDir);
  ImageReader reader(argv + 2, argc - 2);
  for (int i = 2; i < argc; ++i) {
    Outcome outcome;
    try {
      outcome = analyseOne(argv[i], reader.next(i - 2), options);
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
