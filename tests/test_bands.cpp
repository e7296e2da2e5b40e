// The band runner the stages share: every band runs once, on a thread the
// split allows, and a failing band is reported as it would be on one thread.

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <contours/contours.hpp>
#include "support/bands.hpp"

namespace {

using contours::Split;

TEST(Bands, EveryBandRunsOnceOnAThreadTheSplitAllows) {
  for (const Split split : {Split(1), Split(2), Split(7), Split(7, 2), Split(3, 8),
                            Split(0, 2), Split(64, 3)}) {
    SCOPED_TRACE(::testing::Message() << split.bands << " bands, " << split.threads
                                      << " threads");
    std::vector<std::atomic<int>> runs(static_cast<size_t>(split.bands));
    std::atomic<bool> threadOutOfRange{false};
    contours::forEachBand(split, [&](int k, int thread) {
      ++runs[static_cast<size_t>(k)];
      if (thread < 0 || thread >= std::max(1, split.threads)) threadOutOfRange = true;
    });
    for (const std::atomic<int>& count : runs) EXPECT_EQ(count.load(), 1);
    EXPECT_FALSE(threadOutOfRange.load());
  }
  // Bands as even as whole items allow, covering every item once.
  for (const int n : {0, 1, 5, 28, 1000})
    for (const int bands : {1, 3, 7, 28}) {
      int next = 0;
      for (int k = 0; k < bands; ++k) {
        const contours::BandSpan span = contours::bandSpan(n, bands, k);
        EXPECT_EQ(span.first, next);
        EXPECT_LE(span.end - span.first, n / bands + 1);
        next = span.end;
      }
      EXPECT_EQ(next, n);
    }
}

TEST(Bands, OneThreadRunsTheBandsInOrderOnTheCallingThread) {
  std::vector<int> order;
  const std::thread::id caller = std::this_thread::get_id();
  bool elsewhere = false;
  contours::forEachBand(Split(5, 1), [&](int k) {
    order.push_back(k);
    elsewhere |= std::this_thread::get_id() != caller;
  });
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_FALSE(elsewhere);
}

// The first failing band in band order is what the caller sees, after every
// other band has ended, whichever thread failed first.
TEST(Bands, TheFirstFailingBandInOrderIsRethrownOnceAllHaveEnded) {
  for (const Split split : {Split(8, 1), Split(8, 2), Split(8, 8)}) {
    std::atomic<int> ended{0};
    try {
      contours::forEachBand(split, [&](int k) {
        if (k == 5) throw std::length_error("band 5");
        if (k == 3) throw std::runtime_error("band 3");
        ++ended;
      });
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "band 3");
    }
    // On one thread the bands stop at the first failure, as a loop would.
    EXPECT_EQ(ended.load(), split.threads == 1 ? 3 : 6);
  }
  EXPECT_NO_THROW(contours::startThreads(2));
  EXPECT_NO_THROW(contours::startThreads(-1));
}

}  // namespace
