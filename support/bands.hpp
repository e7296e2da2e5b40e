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

// The bands a run of the given thread count uses: threads itself, or one per
// core for 0.
int bandsFor(int threads);

// Calls work(k) for every band k in 0 .. bands-1, side by side on the
// parallel runtime; with one band, on the calling thread. Returns when every
// band has ended: what each band wrote is then visible to the caller. When a
// band throws, the other bands still end, and the exception of the first band
// in band order that threw is rethrown.
void forEachBand(int bands, const std::function<void(int)>& work);

}  // namespace contours
