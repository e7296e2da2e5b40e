// The choice of vector build. CTest runs the reference and differential
// tests once under each value of CONTOURS_ISA; a build the processor cannot
// run skips them all, and a run must really use the build it names.

#include <cstdio>

#include <gtest/gtest.h>

#include "support/vector_choice.hpp"

namespace {

using contours::VectorBuild;

class RequestedBuildOrSkip : public ::testing::Environment {
 public:
  void SetUp() override {
    const contours::VectorBuildRequest request = contours::requestedVectorBuild();
    if (request.refused()) {
      // CTest looks for this line to report the run as skipped.
      std::printf("CONTOURS_ISA=%s: vector build not runnable here\n",
                  request.value.c_str());
      GTEST_SKIP();
    }
  }
};
const auto* const kRegistered =
    ::testing::AddGlobalTestEnvironment(new RequestedBuildOrSkip);

TEST(VectorBuilds, RunsTheRequestedBuildOrElseTheWidest) {
  const contours::VectorBuildRequest request = contours::requestedVectorBuild();
  if (request.runnable()) {
    EXPECT_EQ(contours::activeVectorBuild(), request.build);
    return;
  }
  for (VectorBuild wider : {VectorBuild::Avx2, VectorBuild::Avx512}) {
    if (contours::processorRuns(wider)) {
      EXPECT_GE(contours::activeVectorBuild(), wider);
    }
  }
  EXPECT_TRUE(contours::processorRuns(contours::activeVectorBuild()));
}

}  // namespace
