#include "support/bands.hpp"

#include <contours/contours.hpp>

#include <algorithm>
#include <atomic>
#include <exception>
#include <vector>

#include <opencv2/core/utility.hpp>

// ThreadSanitizer sees no ordering through the parallel runtime's own,
// uninstrumented synchronisation: the hand-over of work to a band and of its
// results back is told to it here.
#if defined(__SANITIZE_THREAD__)
#define CONTOURS_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CONTOURS_TSAN 1
#endif
#endif
#ifdef CONTOURS_TSAN
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace contours {

int threadsFor(int threads) {
  if (threads > 0) return threads;
  const int cores = cv::getNumberOfCPUs();
  return cores > 0 ? cores : 1;
}

namespace {

// Each thread's part of the runtime's range takes the next band not taken
// until none is left; a band's exception is kept for the caller.
class BandBody final : public cv::ParallelLoopBody {
 public:
  BandBody(int bands, const std::function<void(int, int)>& work,
           std::vector<std::exception_ptr>& failures)
      : bands_(bands), work_(work), failures_(failures) {}

  // The runtime hands each of its threads a part of the range 0 .. threads-1;
  // the part's first index names the thread to the bands it runs.
  void operator()(const cv::Range& range) const override {
    acquire(&handedOut_);
    for (int k = next_++; k < bands_; k = next_++) {
      try {
        work_(k, range.start);
      } catch (...) {
        failures_[static_cast<size_t>(k)] = std::current_exception();
      }
    }
    release(&handedBack_);
  }

  // The hand-over, for ThreadSanitizer: everything written before the body
  // is handed out is seen by the bands, and everything the bands wrote by
  // the caller once it is handed back.
  static void acquire([[maybe_unused]] const char* token) {
#ifdef CONTOURS_TSAN
    __tsan_acquire(const_cast<char*>(token));
#endif
  }
  static void release([[maybe_unused]] const char* token) {
#ifdef CONTOURS_TSAN
    __tsan_release(const_cast<char*>(token));
#endif
  }
  const char handedOut_ = 0, handedBack_ = 0;

 private:
  const int bands_;
  mutable std::atomic<int> next_{0};
  const std::function<void(int, int)>& work_;
  std::vector<std::exception_ptr>& failures_;
};

}  // namespace

void forEachBand(const Split& split, const std::function<void(int)>& work) {
  forEachBand(split, [&work](int k, int) { work(k); });
}

void forEachBand(const Split& split, const std::function<void(int, int)>& work) {
  const int bands = split.bands;
  const int threads = std::min(bands, split.threads);
  if (threads <= 1) {
    for (int k = 0; k < bands; ++k) work(k, 0);
    return;
  }
  std::vector<std::exception_ptr> failures(static_cast<size_t>(bands));
  const BandBody body(bands, work, failures);
  BandBody::release(&body.handedOut_);
  cv::parallel_for_(cv::Range(0, threads), body, threads);
  BandBody::acquire(&body.handedBack_);
  for (const std::exception_ptr& failure : failures)
    if (failure) std::rethrow_exception(failure);
}

void startThreads(int threads) {
  const int count = threads >= 0 ? threadsFor(threads) : 1;
  if (count <= 1) return;
  try {
    forEachBand(count, [](int) {});
  } catch (...) {
  }
}

}  // namespace contours
