// The library's stages against the plain implementations of
// plain_reference.cpp, bit for bit, on random and adversarial inputs: every
// size from 1 to 20 pixels in each direction (so sizes not divisible by 3 or
// by 8), flat regions, extreme colours, and fields holding NaN, infinities
// and both zeros.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <contours/contours.hpp>
#include <contours/dimension.hpp>
#include <contours/refinement.hpp>
#include <contours/surface.hpp>
#include "dimension/box_counting.hpp"
#include "driver/search.hpp"
#include "field/computed_blocks.hpp"
#include "field/marking.hpp"
#include "field/pixel_field.hpp"
#include "field/ranks.hpp"
#include "plain_reference.hpp"
#include "refinement/fine_stage.hpp"
#include "refinement/fine_surface.hpp"
#include "refinement/mask_family.hpp"
#include "surface/surface_rows.hpp"
#include "test_support.hpp"

namespace {

using testsupport::Planes;

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

bool sameFloats(const float* a, const float* b, size_t n) {
  return n == 0 || std::memcmp(a, b, n * sizeof(float)) == 0;
}

// The first differing cell, for the failure message.
std::string firstDifference(const float* a, const float* b, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (std::memcmp(a + i, b + i, sizeof(float)) != 0)
      return "cell " + std::to_string(i) + ": " + std::to_string(a[i]) + " vs " +
             std::to_string(b[i]);
  return "none";
}

// The fine stage as the pipeline runs it, on the surface of image, into a
// field held as floats: the cells, the blocks it records and its summary.
std::unique_ptr<contours::FloatField> fineStageOfImage(
    const cv::Mat& image, const std::vector<unsigned char>& blockMask, const float* mask1,
    const float* mask2) {
  const int H = image.rows, W = image.cols;
  auto field = std::make_unique<contours::FloatField>(H, W, nullptr, contours::kBoxSize);
  contours::ImageSurface surface(image);
  contours::fineStage(surface, mask1, mask2, 3, blockMask.data(), H / 3, W / 3, W, *field);
  return field;
}

enum class Scene { Noise, FlatGrey, FlatColour, Shapes, Extremes };
const Scene kScenes[] = {Scene::Noise, Scene::FlatGrey, Scene::FlatColour,
                         Scene::Shapes, Scene::Extremes};

// An 8-bit BGR image of the given kind. Shapes are flat rectangles of random
// colours with a little noise: edges among flat regions, which make both
// searches take several steps on larger images.
cv::Mat makeImage(Scene scene, int rows, int cols, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  cv::Mat image(rows, cols, CV_8UC3);
  const cv::Vec3b flat(byte(random), byte(random), byte(random));
  const int g = byte(random);
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < cols; ++x) {
      cv::Vec3b& p = image.at<cv::Vec3b>(y, x);
      switch (scene) {
        case Scene::Noise:
          p = cv::Vec3b(byte(random), byte(random), byte(random));
          break;
        case Scene::FlatGrey:
          p = cv::Vec3b(g, g, g);
          break;
        case Scene::FlatColour:
          p = flat;
          break;
        case Scene::Extremes:
          p = cv::Vec3b(255 * (byte(random) & 1), 255 * (byte(random) & 1),
                        255 * (byte(random) & 1));
          break;
        case Scene::Shapes:
          p = cv::Vec3b(200, 180, 160);
          break;
      }
    }
  if (scene == Scene::Shapes) {
    for (int s = 0; s < 12; ++s) {
      const int top = byte(random) % rows, left = byte(random) % cols;
      const cv::Rect area(left, top, 1 + byte(random) % std::max(1, cols / 3),
                          1 + byte(random) % std::max(1, rows / 3));
      image(area & cv::Rect(0, 0, cols, rows))
          .setTo(cv::Scalar(byte(random), byte(random), byte(random)));
    }
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < cols; ++x)
        for (int c = 0; c < 3; ++c) {
          unsigned char& v = image.at<cv::Vec3b>(y, x)[c];
          v = static_cast<unsigned char>(std::clamp(v + byte(random) % 5 - 2, 0, 255));
        }
  }
  return image;
}

// Sizes every stage is tried on: all of 1..20 x 1..20, and a few larger.
std::vector<cv::Size> testSizes() {
  std::vector<cv::Size> sizes;
  for (int rows = 1; rows <= 20; ++rows)
    for (int cols = 1; cols <= 20; ++cols) sizes.emplace_back(cols, rows);
  for (auto size : {cv::Size(61, 45), cv::Size(64, 64), cv::Size(131, 97),
                    cv::Size(200, 150)})
    sizes.push_back(size);
  return sizes;
}

// Calls check(image) on an image of every scene at every size, each made
// from its own seed (firstSeed, firstSeed + 1, ...) and traced by scene and
// size. Stops at the first fatal failure, as an ASSERT in a plain loop would.
template <class Check>
void forEverySceneAndSize(const std::vector<cv::Size>& sizes, unsigned firstSeed,
                          Check check) {
  unsigned seed = firstSeed;
  for (Scene scene : kScenes)
    for (const cv::Size& size : sizes) {
      SCOPED_TRACE(::testing::Message() << "scene " << static_cast<int>(scene) << ", "
                                        << size.height << " x " << size.width);
      check(makeImage(scene, size.height, size.width, seed++));
      if (::testing::Test::HasFatalFailure()) return;
    }
}

struct SurfaceResult {
  SurfaceResult(int H, int W)
      : pixel(H, W, 0.0f), block(H / 3, W / 3, 0.0f),
        field(static_cast<size_t>(H / 3) * (W / 3), 0.0f), histogram(256, 0) {}
  // The surface pass of the library (fast) or of the plain reference.
  void runFast(const cv::Mat& image) {
    contours::processImage(image, field.data(), pixel.get(), block.get(), histogram.data(),
                           image.rows, image.cols, 256);
  }
  void runPlain(const cv::Mat& image) {
    plain::processImage(image, field.data(), pixel.get(), block.get(), histogram.data(),
                        image.rows, image.cols, 256);
  }
  Planes pixel, block;
  std::vector<float> field;
  std::vector<int> histogram;
};

void expectSameSurface(SurfaceResult& fast, SurfaceResult& slow, int H, int W) {
  for (int p = 0; p < 3; ++p) {
    for (int y = 0; y < 3 * (H / 3); ++y)
      ASSERT_TRUE(sameFloats(fast.pixel.get()[p][y], slow.pixel.get()[p][y], 3 * (W / 3)))
          << "pixel plane " << p << " row " << y;
    for (int y = 0; y < H / 3; ++y)
      ASSERT_TRUE(sameFloats(fast.block.get()[p][y], slow.block.get()[p][y], W / 3))
          << "block plane " << p << " row " << y;
  }
  ASSERT_TRUE(sameFloats(fast.field.data(), slow.field.data(), fast.field.size()))
      << firstDifference(fast.field.data(), slow.field.data(), fast.field.size());
  ASSERT_EQ(fast.histogram, slow.histogram);
}

TEST(Differential, SurfacePassMatchesBlockOrderVisitOnEverySizeAndScene) {
  forEverySceneAndSize(testSizes(), 1, [](const cv::Mat& image) {
    SurfaceResult fast(image.rows, image.cols), slow(image.rows, image.cols);
    fast.runFast(image);
    slow.runPlain(image);
    expectSameSurface(fast, slow, image.rows, image.cols);
  });
}

// A view into a larger image has a row step longer than its rows.
TEST(Differential, SurfacePassFollowsTheRowStepOfAView) {
  const cv::Mat whole = makeImage(Scene::Noise, 40, 70, 99);
  const cv::Mat view = whole(cv::Rect(5, 3, 47, 31));
  ASSERT_FALSE(view.isContinuous());
  const int H = view.rows, W = view.cols;
  SurfaceResult fast(H, W), slow(H, W);
  fast.runFast(view);
  slow.runPlain(view);
  expectSameSurface(fast, slow, H, W);
}

// The block surface forms each block's channel means in lanes: block k of
// this image has channel c's colour sum (k + 765c) mod 2296, so every sum
// 0 .. 2295 is met in each channel and at every lane position.
TEST(Differential, BlockSurfaceMeansMatchOnEveryColourSum) {
  const int blocks = 2296 + 17;  // not a whole number of vectors
  cv::Mat image(4, 3 * blocks + 2, CV_8UC3, cv::Scalar(0, 0, 0));
  for (int k = 0; k < blocks; ++k)
    for (int c = 0; c < 3; ++c) {
      int bytes = 2295 - (k + 765 * c) % 2296;  // the sum of the 9 bytes
      for (int p = 0; p < 9; ++p) {
        const int byte = std::min(bytes, 255);
        image.at<cv::Vec3b>(p / 3, 3 * k + p % 3)[c] = static_cast<unsigned char>(byte);
        bytes -= byte;
      }
    }
  SurfaceResult fast(image.rows, image.cols), slow(image.rows, image.cols);
  fast.runFast(image);
  slow.runPlain(image);
  expectSameSurface(fast, slow, image.rows, image.cols);
}

// Values that make the fine measure degenerate: both zeros, tiny values whose
// products vanish, huge ones whose products overflow, and infinities.
float adversarialValue(std::mt19937& random) {
  static const float special[] = {0.0f, -0.0f, 1e-30f, -1e-30f, 1e30f, -1e30f,
                                  kInf, -kInf, 3.0f, 3.0f};
  std::uniform_int_distribution<int> pick(0, 19);
  const int k = pick(random);
  if (k < 10) return special[k];
  return std::uniform_real_distribution<float>(-500.0f, 500.0f)(random);
}

struct FineCase {
  const char* name;
  bool adversarialPlanes;  // else the surfaces of a random image
  bool randomMasks;        // else d1 and d2
  bool presetMarkers;      // some blocks' first cells already hold a value
};

TEST(Differential, FineStageMatchesCandidateByCandidateVisit) {
  const FineCase cases[] = {
      {"image surfaces, d1 and d2", false, false, false},
      {"image surfaces, arbitrary masks", false, true, false},
      {"degenerate surfaces, d1 and d2", true, false, false},
      {"degenerate surfaces, arbitrary masks", true, true, false},
      {"preset markers (0, -0, NaN, 1)", false, false, true},
  };
  contours::DerivativeMasks masks = contours::derivativeMasks(3);
  float* const d1 = masks.d1.data();
  float* const d2 = masks.d2.data();
  std::mt19937 random(7);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (const FineCase& c : cases) {
    for (const cv::Size& size : testSizes()) {
      const int H = size.height, W = size.width;
      const int blockRows = H / 3, blockCols = W / 3;
      for (double density : {0.0, 0.05, 0.3, 1.0}) {
        SCOPED_TRACE(::testing::Message() << c.name << ", " << H << " x " << W
                                          << ", candidates " << density);
        Planes planes(H, W, 0.0f);
        if (c.adversarialPlanes) {
          for (int p = 0; p < 3; ++p)
            for (int y = 0; y < H; ++y)
              for (int x = 0; x < W; ++x) planes.at(p, y, x) = adversarialValue(random);
        } else {
          const cv::Mat image = makeImage(Scene::Shapes, H, W, random());
          std::vector<float> field(static_cast<size_t>(blockRows) * blockCols);
          Planes block(blockRows, blockCols, 0.0f);
          std::vector<int> histogram(256);
          contours::processImage(image, field.data(), planes.get(), block.get(),
                                 histogram.data(), H, W, 256);
        }
        float mask1[9], mask2[9];
        for (int k = 0; k < 9; ++k) {
          mask1[k] = c.randomMasks ? (k % 4 == 1 ? 0.0f : adversarialValue(random)) : d1[k];
          mask2[k] = c.randomMasks ? static_cast<float>(unit(random) - 0.5) : d2[k];
        }
        std::vector<unsigned char> blockMask(static_cast<size_t>(blockRows) * blockCols);
        for (auto& m : blockMask) m = unit(random) < density ? 0 : 255;
        std::vector<float> fast(static_cast<size_t>(H) * W, 0.0f);
        if (c.presetMarkers)
          for (int bi = 0; bi < blockRows; ++bi)
            for (int bj = 0; bj < blockCols; ++bj) {
              static const float markers[] = {0.0f, -0.0f, kNaN, 1.0f};
              fast[3 * (static_cast<size_t>(bi) * W + bj)] = markers[random() % 4];
            }
        std::vector<float> slow = fast;
        contours::calcFineContours(fast.data(), blockMask.data(), planes.get(), mask1,
                                   mask2, blockRows, blockCols, W, 3);
        plain::calcFineContours(slow.data(), blockMask.data(), planes.get(), mask1,
                                mask2, blockRows, blockCols, W, 3);
        ASSERT_TRUE(sameFloats(fast.data(), slow.data(), fast.size()))
            << firstDifference(fast.data(), slow.data(), fast.size());
      }
    }
  }
}

// The pipeline's block stage keeps no surface but must give the same block
// field and histogram.
TEST(Differential, BlockStageAloneMatchesSurfacePass) {
  forEverySceneAndSize(testSizes(), 500, [](const cv::Mat& image) {
    SurfaceResult fast(image.rows, image.cols), slow(image.rows, image.cols);
    contours::processBlocks(image, fast.field.data(), fast.histogram.data(), image.rows,
                            image.cols, 256);
    slow.runPlain(image);
    ASSERT_TRUE(sameFloats(fast.field.data(), slow.field.data(), fast.field.size()));
    ASSERT_EQ(fast.histogram, slow.histogram);
  });
}

// The pipeline's fine stage makes surface rows from the image as it reads
// them, and leaves out the zero taps of derivative masks; it must give the
// field the plain stage gives on the stored surface.
TEST(Differential, FineStageFromImageRowsMatchesStoredSurface) {
  contours::DerivativeMasks masks = contours::derivativeMasks(3);
  float* const d1 = masks.d1.data();
  float* const d2 = masks.d2.data();
  std::mt19937 random(17);
  std::uniform_real_distribution<float> tap(-1.0f, 1.0f);
  // Exactly d1 and d2 share the products of their taps; masks that only come
  // close to that pair must be applied tap by tap.
  enum Masks { Pair, SameZeros, Arbitrary, PairNegativeZero, PairSwapped,
               PairDoubled, PairOneTapOff, PairTwiceFirst };
  for (Masks masks : {Pair, SameZeros, Arbitrary, PairNegativeZero, PairSwapped,
                      PairDoubled, PairOneTapOff, PairTwiceFirst}) {
    // d1 and d2; other masks with the same zeros (one of them -0); masks
    // without those zeros, which need every tap; and near misses of the pair.
    float mask1[9], mask2[9];
    for (int k = 0; k < 9; ++k) {
      mask1[k] = masks == SameZeros ? (k % 3 == 1 ? 0.0f : tap(random))
                 : masks == Arbitrary ? tap(random) : d1[k];
      mask2[k] = masks == SameZeros ? (k / 3 == 1 ? 0.0f : tap(random))
                 : masks == Arbitrary ? tap(random) : d2[k];
    }
    if (masks == SameZeros) mask1[4] = -0.0f;
    if (masks == PairNegativeZero) mask2[4] = -0.0f;
    if (masks == PairSwapped) std::swap(mask1, mask2);
    if (masks == PairDoubled)
      for (int k = 0; k < 9; ++k) mask1[k] *= 2.0f, mask2[k] *= 2.0f;
    if (masks == PairOneTapOff) mask1[3] = std::nextafter(mask1[3], 0.0f);
    if (masks == PairTwiceFirst) std::copy(mask1, mask1 + 9, mask2);
    unsigned seed = 700;
    for (Scene scene : kScenes)
      for (const cv::Size& size : testSizes())
        for (double density : {0.05, 0.3, 1.0}) {
          SCOPED_TRACE(::testing::Message()
                       << "masks " << masks << ", scene " << static_cast<int>(scene)
                       << ", " << size.height << " x " << size.width << ", candidates "
                       << density);
          const int H = size.height, W = size.width;
          const int blockRows = H / 3, blockCols = W / 3;
          const cv::Mat image = makeImage(scene, H, W, seed++);
          SurfaceResult surface(H, W);
          surface.runPlain(image);
          std::vector<unsigned char> blockMask(static_cast<size_t>(blockRows) * blockCols);
          for (auto& m : blockMask) m = random() % 1000 < density * 1000 ? 0 : 255;
          std::vector<float> slow(static_cast<size_t>(H) * W, 0.0f);
          const auto field = fineStageOfImage(image, blockMask, mask1, mask2);
          const std::vector<float> fast(field->cells(), field->cells() + slow.size());
          plain::calcFineContours(slow.data(), blockMask.data(), surface.pixel.get(),
                                  mask1, mask2, blockRows, blockCols, W, 3);
          ASSERT_TRUE(sameFloats(fast.data(), slow.data(), fast.size()))
              << firstDifference(fast.data(), slow.data(), fast.size());
        }
  }
}

// The pipeline's fine stage records the blocks it computes and summarises the
// field for the search while filling it, a few rows at a time: the record
// must name exactly the blocks the plain stage computes (every other cell
// +0), and the summary made piece by piece must be the one made from the
// finished field.
TEST(Differential, FineStageRecordsItsBlocksAndItsPiecewiseSummaryMatchesFinishedField) {
  contours::DerivativeMasks masks = contours::derivativeMasks(3);
  float* const d1 = masks.d1.data();
  float* const d2 = masks.d2.data();
  std::mt19937 random(19);
  unsigned seed = 900;
  for (const cv::Size& size : testSizes())
    for (double density : {0.0, 0.02, 0.3, 1.0}) {
      const int H = size.height, W = size.width;
      const int blockRows = H / 3, blockCols = W / 3;
      SCOPED_TRACE(::testing::Message() << H << " x " << W << ", candidates " << density);
      const cv::Mat image = makeImage(Scene::Shapes, H, W, seed++);
      SurfaceResult surface(H, W);
      surface.runPlain(image);
      std::vector<unsigned char> blockMask(static_cast<size_t>(blockRows) * blockCols);
      for (auto& m : blockMask) m = random() % 1000 < density * 1000 ? 0 : 255;
      std::vector<float> slow(static_cast<size_t>(H) * W, 0.0f);
      const auto floats = fineStageOfImage(image, blockMask, d1, d2);
      const std::vector<float> field(floats->cells(), floats->cells() + slow.size());
      const contours::ComputedBlocks& blocks = floats->computed();
      const contours::QuarterMaxima& piecewise = floats->quarters();
      std::vector<unsigned char> computed(blockMask.size(), 0);
      for (int bi = 0; bi < blockRows; ++bi)
        for (auto run = blocks.begin(bi); run != blocks.end(bi); ++run) {
          ASSERT_TRUE(run->first < run->end && run->end <= blockCols);
          ASSERT_TRUE(run == blocks.begin(bi) || (run - 1)->end < run->first);
          std::fill_n(computed.begin() + static_cast<size_t>(bi) * blockCols + run->first,
                      run->end - run->first, 1);
        }
      plain::calcFineContours(slow.data(), blockMask.data(), surface.pixel.get(), d1, d2,
                              blockRows, blockCols, W, 3);
      ASSERT_TRUE(sameFloats(field.data(), slow.data(), field.size()))
          << firstDifference(field.data(), slow.data(), field.size());
      for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
          const bool inBlock = y / 3 < blockRows && x / 3 < blockCols;
          const size_t block = inBlock ? static_cast<size_t>(y / 3) * blockCols + x / 3 : 0;
          if (inBlock && y % 3 == 0 && x % 3 == 0) {
            ASSERT_EQ(computed[block] != 0, slow[static_cast<size_t>(y) * W + x] != 0.0f)
                << "block " << y / 3 << ", " << x / 3;
          }
          if (!inBlock || computed[block] == 0) {
            ASSERT_EQ(testsupport::bitsOf(field[static_cast<size_t>(y) * W + x]), 0u)
                << "cell " << y << ", " << x;
          }
        }
      EXPECT_EQ(piecewise.summarisedRows, piecewise.quarterRows);
      const contours::QuarterMaxima whole =
          contours::summariseQuarters(field.data(), H, W, contours::kBoxSize);
      ASSERT_EQ(piecewise.maxima.size(), whole.maxima.size());
      EXPECT_TRUE(sameFloats(piecewise.maxima.data(), whole.maxima.data(),
                             whole.maxima.size()));
    }
}

// A mask size other than 3 goes through the general path.
TEST(Differential, FineStageWithFiveByFiveMasksMatches) {
  contours::DerivativeMasks masks = contours::derivativeMasks(5);
  float* const d1 = masks.d1.data();
  float* const d2 = masks.d2.data();
  const int H = 47, W = 53;
  const cv::Mat image = makeImage(Scene::Noise, H, W, 5);
  Planes planes(H, W, 0.0f), block(H / 3, W / 3, 0.0f);
  std::vector<float> blockField(static_cast<size_t>(H / 3) * (W / 3));
  std::vector<int> histogram(256);
  contours::processImage(image, blockField.data(), planes.get(), block.get(),
                         histogram.data(), H, W, 256);
  std::vector<unsigned char> blockMask(blockField.size(), 255);
  for (size_t i = 0; i < blockMask.size(); i += 7) blockMask[i] = 0;
  std::vector<float> fast(static_cast<size_t>(H) * W, 0.0f), slow = fast;
  contours::calcFineContours(fast.data(), blockMask.data(), planes.get(), d1, d2,
                             H / 3, W / 3, W, 5);
  plain::calcFineContours(slow.data(), blockMask.data(), planes.get(), d1, d2, H / 3,
                          W / 3, W, 5);
  EXPECT_TRUE(sameFloats(fast.data(), slow.data(), fast.size()))
      << firstDifference(fast.data(), slow.data(), fast.size());
  // The one-block form, with these masks and with 3x3 ones.
  for (int n : {3, 5}) {
    const contours::DerivativeMasks m = contours::derivativeMasks(n);
    std::vector<float> one(static_cast<size_t>(H) * W, 0.0f), plainOne = one;
    float u[3], w[3], metricCells[4];
    float* const metric[2] = {metricCells, metricCells + 2};
    for (int bi = 1; bi < H / 3 - 1; bi += 2)
      for (int bj = 1; bj < W / 3 - 1; bj += 3) {
        contours::preparingFineContours(bi, bj, planes.get(), one.data(), u, w, metric,
                                        m.d1.data(), m.d2.data(), W, n);
        plain::preparingFineContours(bi, bj, planes.get(), plainOne.data(), m.d1.data(),
                                     m.d2.data(), W, n);
      }
    EXPECT_TRUE(sameFloats(one.data(), plainOne.data(), one.size()))
        << "n = " << n << ", " << firstDifference(one.data(), plainOne.data(), one.size());
  }
}

// Cells and thresholds where a per-quarter maximum could differ from a cell
// scan: NaN (never qualifies), infinities, both zeros, and exact ties.
float fieldValue(std::mt19937& random) {
  static const float special[] = {kNaN, kNaN, kInf, -kInf, 0.0f, -0.0f, 2.0f, 5.0f};
  const int k = static_cast<int>(random() % 16);
  if (k < 8) return special[k];
  return std::uniform_real_distribution<float>(-1.0f, 8.0f)(random);
}

void expectSameSamples(const contours::DimensionSamples& fast,
                       const contours::DimensionSamples& slow) {
  ASSERT_EQ(fast.size(), slow.size());
  for (auto f = fast.begin(), s = slow.begin(); f != fast.end(); ++f, ++s) {
    EXPECT_TRUE(testsupport::sameBits(f->first, s->first));
    EXPECT_TRUE(testsupport::sameBits(f->second, s->second));
  }
}

TEST(Differential, QuarterMaximaCountBoxesLikeCellScan) {
  const float thresholds[] = {kNaN, -kInf, kInf, 0.0f, -0.0f, 2.0f, 5.0f, 3.5f, -0.5f};
  std::mt19937 random(11);
  for (int boxSize : {2, 4, 8}) {
    for (int rows = 0; rows <= 20; ++rows) {
      for (int cols : {0, 1, 7, 8, 9, 15, 16, 17, 20, 33}) {
        for (int sparse : {0, 1}) {
          SCOPED_TRACE(::testing::Message() << "box " << boxSize << ", " << rows
                                            << " x " << cols << ", sparse " << sparse);
          std::vector<float> field(static_cast<size_t>(rows) * cols);
          for (float& v : field)
            v = sparse && random() % 8 ? -1.0f : fieldValue(random);
          const contours::QuarterMaxima quarters =
              contours::summariseQuarters(field.data(), rows, cols, boxSize);
          for (float t : thresholds)
            expectSameSamples(contours::countBoxesReaching(quarters, t),
                              plain::BowCountingDimension(field.data(), rows, cols, t,
                                                          boxSize));
          const float own = field.empty() ? 1.0f : field[random() % field.size()];
          expectSameSamples(contours::countBoxesReaching(quarters, own),
                            plain::BowCountingDimension(field.data(), rows, cols, own,
                                                        boxSize));
        }
      }
    }
  }
}

// The runs of the non-zero bytes of map (blockRows x blockCols, row-major).
contours::ComputedBlocks computedBlocksOf(const std::vector<unsigned char>& map,
                                          int blockRows, int blockCols) {
  contours::ComputedBlocks blocks(blockRows, blockCols);
  for (int bi = 0; bi < blockRows; ++bi)
    for (int bj = 0; bj < blockCols;) {
      const auto at = [&](int j) { return map[static_cast<size_t>(bi) * blockCols + j]; };
      if (at(bj) == 0) {
        ++bj;
        continue;
      }
      const int first = bj;
      while (bj < blockCols && at(bj) != 0) ++bj;
      blocks.add(bi, first, bj);
    }
  return blocks;
}

// The rank summary the library makes as a rank field is written, from every
// row of ranks whole.
contours::RankQuarters rankQuartersOf(const unsigned char* ranks, int rows, int cols) {
  contours::RankQuarterBuilder builder(rows, cols, contours::kBoxSize);
  for (int y = 0; y < rows; ++y) builder.add(y, ranks + static_cast<size_t>(y) * cols, 0, cols);
  return builder.finish();
}

// The summary and the marking that visit only the computed blocks, on fields
// whose computed blocks hold NaN, infinities, negative values and both zeros
// (every other cell +0), against the whole-field forms and the plain marking,
// for thresholds on both sides of +0 and NaN.
TEST(Differential, ComputedBlockSummaryAndMarkingMatchWholeFieldOnDegenerateFields) {
  const float thresholds[] = {kNaN, -kInf, kInf, 0.0f, -0.0f, 2.0f, 5.0f, -0.5f,
                              std::nextafter(0.0f, 1.0f)};
  std::mt19937 random(23);
  for (int rows = 0; rows <= 20; ++rows)
    for (int cols : {0, 1, 2, 3, 7, 8, 9, 11, 16, 17, 20, 33, 40, 700}) {
      for (int density : {0, 10, 50, 100}) {
        SCOPED_TRACE(::testing::Message() << rows << " x " << cols << ", density " << density);
        const int blockRows = rows / 3, blockCols = cols / 3;
        std::vector<unsigned char> map(static_cast<size_t>(blockRows) * blockCols);
        for (auto& m : map) m = static_cast<int>(random() % 100) < density;
        std::vector<float> field(static_cast<size_t>(rows) * cols, 0.0f);
        for (int y = 0; y < 3 * blockRows; ++y)
          for (int x = 0; x < 3 * blockCols; ++x)
            if (map[static_cast<size_t>(y / 3) * blockCols + x / 3])
              field[static_cast<size_t>(y) * cols + x] = fieldValue(random);
        const contours::ComputedBlocks blocks = computedBlocksOf(map, blockRows, blockCols);
        // Summarised in uneven steps, as the fine stage reports its rows.
        contours::QuarterMaxima piecewise =
            contours::startQuarters(field.data(), rows, cols, contours::kBoxSize);
        for (int finalRows = 0; finalRows < rows; finalRows += 1 + random() % 5)
          contours::summariseComputedQuarterRows(piecewise, finalRows, blocks);
        contours::summariseComputedQuarterRows(piecewise, rows, blocks);
        const contours::QuarterMaxima whole =
            contours::summariseQuarters(field.data(), rows, cols, contours::kBoxSize);
        ASSERT_TRUE(sameFloats(piecewise.maxima.data(), whole.maxima.data(),
                               whole.maxima.size()));
        std::vector<float> own(thresholds, thresholds + std::size(thresholds));
        if (!field.empty()) own.push_back(field[random() % field.size()]);
        for (float t : own) {
          SCOPED_TRACE(::testing::Message() << "threshold " << t);
          std::vector<unsigned char> sparse(field.size(), 7), dense(field.size(), 7);
          std::vector<unsigned char> slow(field.size(), 255);
          const contours::MarkCounts fromBlocks = contours::markComputedField(
              field.data(), sparse.data(), rows, cols, t, blocks);
          const contours::MarkCounts fromAll =
              contours::markCells(field.data(), dense.data(), field.size(), t);
          std::vector<unsigned char> banded(field.size(), 7);
          const contours::MarkCounts inBands = contours::markCells(
              field.data(), banded.data(), field.size(), t, contours::Split(7, 2));
          plain::fixLastSegment(field.data(), slow.data(), rows, cols, t);
          ASSERT_EQ(sparse, slow);
          ASSERT_EQ(dense, slow);
          ASSERT_EQ(banded, slow);
          EXPECT_EQ(inBands.marked, fromAll.marked);
          EXPECT_EQ(inBands.nonZero, fromAll.nonZero);
          EXPECT_EQ(fromBlocks.marked, fromAll.marked);
          EXPECT_EQ(fromBlocks.nonZero, fromAll.nonZero);
          EXPECT_EQ(fromAll.marked, std::count(slow.begin(), slow.end(), 0));
        }
      }
    }
}

TEST(Differential, SearchAndMarkingMatchPlainSearchOnDegenerateFields) {
  std::mt19937 random(13);
  for (int trial = 0; trial < 60; ++trial) {
    const int rows = 8 + static_cast<int>(random() % 60);
    const int cols = 8 + static_cast<int>(random() % 60);
    std::vector<float> field(static_cast<size_t>(rows) * cols);
    for (float& v : field) v = fieldValue(random);
    std::vector<float> table(256);
    for (int k = 0; k < 256; ++k) table[k] = -1.0f + 9.0f * (k + 1) / 256.0f;
    if (trial % 10 == 0) std::fill(table.begin(), table.end(), kNaN);
    SCOPED_TRACE(::testing::Message() << "trial " << trial);
    std::vector<unsigned char> fastMask(field.size(), 255), slowMask = fastMask;
    const contours::SearchRecord fast = contours::thresholdSearch(
        field.data(), rows, cols, table.data(), 256, 1.6f, 0.1f, 0.25, 8,
        fastMask.data());
    const contours::SearchRecord slow = plain::thresholdSearch(
        field.data(), rows, cols, table.data(), 256, 1.6f, 0.1f, 0.25, 8,
        slowMask.data());
    ASSERT_EQ(fast.evaluations.size(), slow.evaluations.size());
    for (size_t i = 0; i < fast.evaluations.size(); ++i) {
      EXPECT_EQ(fast.evaluations[i].index, slow.evaluations[i].index);
      EXPECT_TRUE(testsupport::sameBits(fast.evaluations[i].dimension,
                                        slow.evaluations[i].dimension));
    }
    EXPECT_EQ(fastMask, slowMask);
  }
}

// Tables the byte-per-pixel field is tried with: kind 0 rises evenly, 1 in
// runs of equal entries, 2 by single units in the last place from 2, 3 ends
// in +infinity and holds 2 and 5 (values the fields hold) twice and once, 4
// rises evenly but for 150 equal entries (more than a lane key counts).
std::vector<float> rankTable(int kind) {
  std::vector<float> table(256);
  float near = 2.0f;
  for (int k = 0; k < 256; ++k) {
    table[k] = kind == 1 ? 0.25f * (1 + k / 16) : 8.5f * (k + 1) / 256.0f;
    if (kind == 2) table[k] = near, near = std::nextafter(near, kInf);
  }
  if (kind == 3) table[60] = table[61] = 2.0f, table[150] = 5.0f, table[254] = table[255] = kInf;
  if (kind == 4) std::fill(table.begin() + 50, table.begin() + 200, 2.0f);
  return table;
}

// The rank of a cell among the table entries must decide every comparison
// the search and the marking make, and a table it cannot serve must be
// refused: out of order by one unit in the last place, NaN, an entry <= 0
// (-0 too, which a +0 cell reaches), or a start on the last entry.
TEST(Differential, RankFieldSearchesAndMarksLikeFloatFieldOrIsRefused) {
  for (int kind = 0; kind < 5; ++kind) ASSERT_TRUE(contours::ranksServe(rankTable(kind).data(), 256, 0.25));
  std::vector<std::vector<float>> refused(5, rankTable(0));
  refused[0][100] = std::nextafter(refused[0][99], 0.0f);
  refused[1][200] = kNaN;
  refused[2][0] = 0.0f;
  refused[3][0] = -0.0f;
  refused[4][0] = -1.0f;
  for (const auto& table : refused) EXPECT_FALSE(contours::ranksServe(table.data(), 256, 0.25));
  EXPECT_FALSE(contours::ranksServe(rankTable(0).data(), 256, 255.0 / 256));
  EXPECT_FALSE(contours::ranksServe(rankTable(0).data(), 255, 0.25));

  std::mt19937 random(23);
  for (int trial = 0; trial < 80; ++trial) {
    const int rows = 1 + static_cast<int>(random() % 70);
    const int cols = 1 + static_cast<int>(random() % 70);
    const std::vector<float> table = rankTable(trial % 5);
    std::vector<float> field(static_cast<size_t>(rows) * cols);
    for (float& v : field) v = random() % 8 ? fieldValue(random) : table[random() % 256];
    SCOPED_TRACE(::testing::Message() << "trial " << trial << ", " << rows << " x " << cols);
    const contours::RankLookup lookup(table.data());
    // Any bit pattern (NaN of either sign, subnormals, infinities), every
    // entry and its neighbours (where the lookup's keys change count), and
    // the field, looked up one by one and in lanes as the table is searched.
    std::vector<float> cells = field;
    for (int n = 0; n < 2000; ++n) {
      const std::uint32_t bits = static_cast<std::uint32_t>(random());
      float v;
      std::memcpy(&v, &bits, sizeof v);
      cells.push_back(v);
    }
    for (const float entry : table)
      for (const float v : {std::nextafter(entry, 0.0f), entry, std::nextafter(entry, kInf)})
        cells.push_back(v);
    std::vector<float> taken = cells;
    std::vector<unsigned char> lanes(cells.size());
    const long long nonZero =
        lookup.takeRanks(taken.data(), lanes.data(), static_cast<int>(cells.size()));
    ASSERT_EQ(nonZero, std::count_if(cells.begin(), cells.end(), [](float v) { return v != 0.0f; }));
    ASSERT_EQ(taken, std::vector<float>(cells.size(), 0.0f));
    for (size_t i = 0; i < cells.size(); ++i) {
      const unsigned char expected = plain::rankOf(table.data(), cells[i]);
      ASSERT_EQ(lookup(cells[i]), expected) << "cell " << cells[i];
      ASSERT_EQ(lanes[i], expected) << "cell " << cells[i] << " in lanes";
    }
    std::vector<unsigned char> ranks(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
      ranks[i] = plain::rankOf(table.data(), field[i]);
      ASSERT_EQ(lookup(field[i]), ranks[i]);
      for (int k = 0; k < 255; ++k)
        ASSERT_EQ(ranks[i] > k, field[i] >= table[k]) << "cell " << field[i] << ", entry " << k;
    }
    if (rows < contours::kBoxSize || cols < contours::kBoxSize) continue;
    const contours::RankQuarters quarters = rankQuartersOf(ranks.data(), rows, cols);
    const contours::SearchRecord fast = contours::findThreshold(
        [&](int k) { return contours::countBoxesAboveRank(quarters, k); }, table.data(),
        256, 1.6f, 0.1f, 0.25);
    const contours::SearchRecord slow = contours::findThreshold(
        field.data(), rows, cols, table.data(), 256, 1.6f, 0.1f, 0.25, contours::kBoxSize);
    ASSERT_EQ(fast.evaluations.size(), slow.evaluations.size());
    for (size_t i = 0; i < fast.evaluations.size(); ++i) {
      EXPECT_EQ(fast.evaluations[i].index, slow.evaluations[i].index);
      EXPECT_TRUE(testsupport::sameBits(fast.evaluations[i].threshold,
                                        slow.evaluations[i].threshold));
      EXPECT_TRUE(testsupport::sameBits(fast.evaluations[i].dimension,
                                        slow.evaluations[i].dimension));
    }
    ASSERT_EQ(fast.index, slow.index);
    // Every index a search can end on, not only this one.
    for (int index : {0, 1, 60, 61, fast.index, 150, 253, 254}) {
      std::vector<unsigned char> marked = ranks, expected(field.size());
      const long long count = contours::markRanks(marked.data(), marked.size(), index);
      const contours::MarkCounts slowCounts =
          contours::markCells(field.data(), expected.data(), field.size(), table[index]);
      ASSERT_EQ(marked, expected) << "index " << index;
      EXPECT_EQ(count, slowCounts.marked);
    }
  }
}

// The byte summary counts boxes as the cell scan does over the same bytes as
// floats, for the cells above k: on rows of quarters too short for a step of
// the counting loop, with a step and a tail, and long enough that its byte
// counters must be added up before they overflow (127 steps of 32 quarters).
TEST(Differential, RankQuartersCountBoxesLikeCellScan) {
  std::mt19937 random(31);
  for (const cv::Size size : {cv::Size(15, 9), cv::Size(130, 16), cv::Size(261, 24),
                              cv::Size(16400, 8)}) {
    for (int density : {1, 30, 100}) {
      SCOPED_TRACE(::testing::Message() << size << ", density " << density);
      std::vector<unsigned char> ranks(size.area());
      for (auto& r : ranks) r = random() % 100 < static_cast<unsigned>(density) ? random() % 256 : 0;
      const contours::RankQuarters quarters =
          rankQuartersOf(ranks.data(), size.height, size.width);
      const std::vector<float> field(ranks.begin(), ranks.end());
      for (int k : {0, 1, 100, 254, 255})
        expectSameSamples(contours::countBoxesAboveRank(quarters, k),
                          plain::BowCountingDimension(field.data(), size.height, size.width,
                                                      static_cast<float>(k + 1), 8));
    }
  }
}

// The fine stage writing ranks, a block row at a time through a scratch of
// three rows, must give the ranks of the field it writes as floats, and count
// exactly its cells that are not 0; into a buffer of its own and into the
// image's own buffer, which it reads while it writes there. tableKind picks a
// rankTable when the field has no values to take entries from.
void expectRanksOfWholeField(const cv::Mat& image, const std::vector<unsigned char>& blockMask,
                             int tableKind) {
  contours::DerivativeMasks masks = contours::derivativeMasks(3);
  const int H = image.rows, W = image.cols, blockRows = H / 3, blockCols = W / 3;
  const auto floats = fineStageOfImage(image, blockMask, masks.d1.data(), masks.d2.data());
  const std::vector<float> field(floats->cells(), floats->cells() + static_cast<size_t>(H) * W);
  // Entries among the field's own values, so that ranks spread and cells
  // equal entries.
  std::vector<float> values;
  for (float v : field)
    if (v > 0.0f && v < kInf) values.push_back(v);
  std::sort(values.begin(), values.end());
  std::vector<float> table = rankTable(tableKind);
  if (!values.empty())
    for (int k = 0; k < 256; ++k) table[k] = values[values.size() * k / 256];
  const auto rankStage = [&](const cv::Mat& source, contours::RankField& ranks) {
    contours::ImageSurface surface(source);
    contours::fineStage(surface, masks.d1.data(), masks.d2.data(), 3, blockMask.data(),
                        blockRows, blockCols, W, ranks);
  };
  contours::RankField ranks(image, table.data(), contours::kBoxSize, false);
  rankStage(image, ranks);
  cv::Mat own = image.clone();
  contours::RankField inImage(own, table.data(), contours::kBoxSize, true);
  ASSERT_EQ(inImage.ranks(), own.data);
  rankStage(own, inImage);
  long long expectedNonZero = 0;
  for (size_t i = 0; i < field.size(); ++i) {
    ASSERT_EQ(ranks.ranks()[i], plain::rankOf(table.data(), field[i])) << "cell " << i;
    ASSERT_EQ(own.data[i], ranks.ranks()[i]) << "cell " << i << " in the image's buffer";
    expectedNonZero += field[i] != 0.0f;
  }
  EXPECT_EQ(ranks.nonZero(), expectedNonZero);
  EXPECT_EQ(inImage.nonZero(), expectedNonZero);
  // The summary made as the stage writes is the one made afterwards.
  const contours::RankQuarters after =
      plain::summariseRankQuarters(ranks.ranks(), H, W, contours::kBoxSize);
  EXPECT_EQ(ranks.quarters().maxima, after.maxima);
  EXPECT_EQ(inImage.quarters().maxima, after.maxima);
}

TEST(Differential, FineStageRanksAreTheRanksOfTheWholeField) {
  std::mt19937 random(29);
  std::vector<cv::Size> sizes = testSizes();
  sizes.emplace_back(301, 202);
  forEverySceneAndSize(sizes, 2000, [&](const cv::Mat& image) {
    std::vector<unsigned char> blockMask(static_cast<size_t>(image.rows / 3) *
                                         (image.cols / 3));
    const unsigned density = random() % 1000;
    for (auto& m : blockMask) m = random() % 1000 < density ? 0 : 255;
    expectRanksOfWholeField(image, blockMask, random() % 4);
  });
}

// Ranks are taken in stretches of whole vectors (8 cells) that read through
// shorter gaps between runs and round their ends up within the row, and runs
// at most four blocks apart are computed as one: runs of blocks with gaps of
// one to five blocks (3 to 15 cells), and a last run ending at, or a few
// cells short of, rows that are not all a whole number of vectors long.
TEST(Differential, FineStageRanksOfRunsCloseTogetherAndAtTheRowsEnd) {
  for (const int W : {89, 90, 91, 96, 100, 150}) {
    SCOPED_TRACE(::testing::Message() << "width " << W);
    const cv::Mat image = makeImage(Scene::Shapes, 40, W, 5);
    const int blockCols = W / 3;
    std::vector<unsigned char> blockMask(static_cast<size_t>(40 / 3) * blockCols, 255);
    for (int bi = 2; bi < 40 / 3 - 2; ++bi)
      for (const int bj : {2, 6, 10, 15, 20, 26, 33, 41, blockCols - 3 - bi % 3})
        if (bj <= blockCols - 3) blockMask[static_cast<size_t>(bi) * blockCols + bj] = 0;
    expectRanksOfWholeField(image, blockMask, 0);
  }
}

// A field written in bands side by side is the field one band writes: the
// cells or ranks, the cells counted, the summary, the box counts and the
// result; with bands of one block row, empty bands, images narrower than a
// box, and ranks written into the image's own buffer that other bands read.
TEST(Differential, FieldsWrittenInBandsAreTheFieldOfOneBand) {
  const contours::DerivativeMasks masks = contours::derivativeMasks(3);
  std::mt19937 random(37);
  for (const cv::Size size : {cv::Size(40, 15), cv::Size(7, 61), cv::Size(17, 33),
                              cv::Size(301, 202)}) {
    SCOPED_TRACE(::testing::Message() << size);
    const int H = size.height, W = size.width;
    const cv::Mat image = makeImage(Scene::Shapes, H, W, random());
    std::vector<unsigned char> blockMask(static_cast<size_t>(H / 3) * (W / 3));
    for (auto& m : blockMask) m = random() % 4 ? 255 : 0;
    const auto stage = [&](contours::BandedFieldRows& field, const cv::Mat& source,
                           const contours::Split& bands) {
      contours::fineStage(source, masks.d1.data(), masks.d2.data(), blockMask.data(), H / 3,
                          W / 3, field, bands);
    };
    // Entries among the field's own values where they allow ranks.
    std::vector<float> table = rankTable(0);
    contours::FloatField one(H, W, table.data(), contours::kBoxSize);
    stage(one, image, 1);
    std::vector<float> values;
    for (size_t i = 0; i < static_cast<size_t>(H) * W; ++i)
      if (one.cells()[i] > 0.0f && one.cells()[i] < kInf) values.push_back(one.cells()[i]);
    std::sort(values.begin(), values.end());
    if (!values.empty()) {
      std::vector<float> own(256);
      for (int k = 0; k < 256; ++k) own[k] = values[values.size() * k / 256];
      if (contours::ranksServe(own.data(), 256, 0.25)) table = own;
    }
    const std::vector<float> cells(one.cells(), one.cells() + static_cast<size_t>(H) * W);
    const bool counted = H >= contours::kBoxSize && W >= contours::kBoxSize;
    // The counts and the result of a field at a few entries (marking ends it).
    const auto outcome = [&](contours::PixelField& field) {
      std::vector<std::string> seen;
      if (counted)
        for (const int index : {0, 64, 128, 254}) {
          const contours::DimensionSamples samples = field.boxCountsAt(index);
          for (const auto& [x, y] : samples)
            seen.push_back(std::to_string(x) + ":" + std::to_string(y));
        }
      cv::Mat result;
      const contours::MarkCounts counts = field.mark(64, result);
      seen.push_back(std::to_string(counts.marked) + "/" + std::to_string(counts.nonZero));
      seen.emplace_back(result.ptr<char>(), result.total());
      return seen;
    };
    contours::FloatField floats(H, W, table.data(), contours::kBoxSize);
    stage(floats, image, 1);
    const auto expected = outcome(floats);
    // Bands side by side, and more bands than threads, taken as threads free up.
    for (const contours::Split bands : {contours::Split(2), contours::Split(3),
                                        contours::Split(7), contours::Split(7, 2)}) {
      SCOPED_TRACE(::testing::Message() << bands.bands << " bands, " << bands.threads
                                        << " threads");
      contours::FloatField banded(H, W, table.data(), contours::kBoxSize);
      stage(banded, image, bands);
      ASSERT_TRUE(sameFloats(banded.cells(), cells.data(), cells.size()));
      EXPECT_EQ(outcome(banded), expected);
      contours::RankField ranksOne(image, table.data(), contours::kBoxSize, false);
      stage(ranksOne, image, 1);
      const auto expectedRanks = outcome(ranksOne);
      contours::RankField ranks(image, table.data(), contours::kBoxSize, false);
      stage(ranks, image, bands);
      EXPECT_EQ(ranks.quarters().maxima, ranksOne.quarters().maxima);
      EXPECT_EQ(outcome(ranks), expectedRanks);
      cv::Mat lent = image.clone();
      contours::RankField inImage(lent, table.data(), contours::kBoxSize, true);
      stage(inImage, lent, bands);
      EXPECT_EQ(inImage.nonZero(), ranks.nonZero());
      EXPECT_EQ(outcome(inImage), expectedRanks);
    }
  }
}

// The whole analysis against the plain pipeline, on an image the caller lends
// and on one it still holds, on one thread and in bands side by side: two,
// three and seven (more than the cores, so that every band edge is crossed
// on any machine).
void expectAnalysisLikePlainPipeline(const cv::Mat& image) {
  const plain::Analysis slow = plain::analyse(image);
  for (const int threads : {1, 2, 3, 7}) {
    SCOPED_TRACE(::testing::Message() << threads << " threads");
    contours::AnalysisOptions options;
    options.threads = threads;
    cv::Mat result;
    const contours::AnalysisReport fast =
        contours::analyseImage(image.clone(), result, options);
    ASSERT_EQ(fast.status, contours::AnalysisStatus::Ok);
    ASSERT_EQ(fast.histogram, slow.histogram);
    ASSERT_TRUE(sameFloats(fast.quantileTable.data(), slow.quantileTable.data(), 256));
    ASSERT_EQ(fast.blockSearch.evaluations.size(), slow.blockSearch.evaluations.size());
    ASSERT_EQ(fast.pixelSearch.evaluations.size(), slow.pixelSearch.evaluations.size());
    for (size_t i = 0; i < fast.pixelSearch.evaluations.size(); ++i)
      ASSERT_TRUE(testsupport::sameBits(fast.pixelSearch.evaluations[i].dimension,
                                        slow.pixelSearch.evaluations[i].dimension));
    ASSERT_TRUE(result.isContinuous());
    ASSERT_TRUE(std::equal(slow.result.begin(), slow.result.end(), result.data));
    // An image the caller still holds is analysed alike and left as it was
    // (a moved-in one lends its buffer to the result).
    const cv::Mat before = image.clone();
    cv::Mat sharedResult;
    const contours::AnalysisReport shared =
        contours::analyseImage(image, sharedResult, options);
    ASSERT_EQ(shared.selectedPixels, fast.selectedPixels);
    ASSERT_EQ(shared.pixelCellsComputed, fast.pixelCellsComputed);
    ASSERT_TRUE(std::equal(slow.result.begin(), slow.result.end(), sharedResult.data));
    ASSERT_TRUE(std::equal(before.datastart, before.dataend, image.datastart));
  }
}

TEST(Differential, WholeAnalysisMatchesPlainPipeline) {
  std::vector<cv::Size> sizes = testSizes();
  sizes.emplace_back(320, 240);
  forEverySceneAndSize(sizes, 1000, expectAnalysisLikePlainPipeline);
  // A block field of more than 1 MiB, which is mapped rather than taken from
  // the heap.
  expectAnalysisLikePlainPipeline(makeImage(Scene::Shapes, 1460, 1620, 999));
}

}  // namespace
