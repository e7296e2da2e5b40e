#include "support/bands.hpp"

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

int bandsFor(int threads) {
  if (threads > 0) return threads;
  const int cores = cv::getNumberOfCPUs();
  return cores > 0 ? cores : 1;
}

void forEachBand(int bands, const std::function<void(int)>& work) {
  if (bands <= 1) {
    if (bands == 1) work(0);
    return;
  }
  std::vector<std::exception_ptr> failures(static_cast<size_t>(bands));
#ifdef CONTOURS_TSAN
  char handedOut = 0, handedBack = 0;
  __tsan_release(&handedOut);
#endif
  cv::parallel_for_(
      cv::Range(0, bands),
      [&](const cv::Range& range) {
#ifdef CONTOURS_TSAN
        __tsan_acquire(&handedOut);
#endif
        for (int k = range.start; k < range.end; ++k) {
          try {
            work(k);
          } catch (...) {
            failures[static_cast<size_t>(k)] = std::current_exception();
          }
        }
#ifdef CONTOURS_TSAN
        __tsan_release(&handedBack);
#endif
      },
      bands);
#ifdef CONTOURS_TSAN
  __tsan_acquire(&handedBack);
#endif
  for (const std::exception_ptr& failure : failures)
    if (failure) std::rethrow_exception(failure);
}

}  // namespace contours
