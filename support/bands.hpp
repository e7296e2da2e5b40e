#pragma once
// Work split into bands that run side by side. Private to the library.
//
// The runtime is OpenCV's parallel_for_ (on TBB in Debian's OpenCV): callers
// of the library already tune it with cv::setNumThreads, and it runs nested
// calls on the calling thread instead of oversubscribing. Every band writes
// only what is its own, and whatever bands share is combined after all of
// them have ended, in band order or by exact integer sums, so the number of
// bands never changes a value.

#include <functional>

namespace contours {

// Items first .. end-1.
struct BandSpan {
  int first, end;
};

// Band k of bands over items 0 .. n-1: consecutive spans, as even as whole
// items allow (some may be empty when n < bands).
inline BandSpan bandSpan(int n, int bands, int k) {
  return {static_cast<int>(static_cast<long long>(n) * k / bands),
          static_cast<int>(static_cast<long long>(n) * (k + 1) / bands)};
}

// The threads a run of the given thread count uses: threads itself, or one
// per core for 0.
int threadsFor(int threads);

// How a stage is split: into bands, of which at most threads run at once.
// A thread that finishes a band takes the next one not taken, so more bands
// than threads even out bands of unequal work (and a thread that starts
// late). An int n is n bands on n threads.
struct Split {
  Split(int n = 1) : bands(n), threads(n) {}  // NOLINT: an int is a split
  Split(int bands, int threads) : bands(bands), threads(threads) {}
  // The same threads, with no more bands than units (and at least one).
  Split atMost(int units) const {
    return {bands < units ? bands : (units > 1 ? units : 1), threads};
  }
  int bands, threads;
};

// The split of a run on the given number of threads (threadsFor's): on more
// than one, kBandsPerThread bands a thread.
constexpr int kBandsPerThread = 4;
inline Split splitFor(int threads) {
  return threads > 1 ? Split(kBandsPerThread * threads, threads) : Split(1);
}

// Calls work(k) for every band k in 0 .. split.bands-1, up to split.threads
// of them side by side on the parallel runtime; with one thread, in order on
// the calling thread. Returns when every band has ended: what each band wrote
// is then visible to the caller. When a band throws, the exception of the
// first band in band order that threw is rethrown: on several threads once
// every other band has ended, on one at once (the later bands do not run).
void forEachBand(const Split& split, const std::function<void(int)>& work);

// The same, calling work(k, thread) with the index, below split.threads, of
// the thread that runs band k: a band may use what that thread keeps for
// all the bands it runs.
void forEachBand(const Split& split, const std::function<void(int, int)>& work);

}  // namespace contours
