#pragma once
// Plain implementations of the stages that the library computes in a faster
// way: pixel by pixel, block by block and cell by cell, in the order the
// stages are defined. The differential tests hold the library against them
// bit for bit; they are kept obvious, not fast.

#include <array>
#include <vector>

#include <opencv2/core.hpp>

#include <contours/contours.hpp>
#include <contours/dimension.hpp>

#include "dimension/box_counting.hpp"

namespace plain {

// Both surfaces, the block field and the histogram, visiting the image in 3x3
// block order through cv::Mat::at.
void processImage(const cv::Mat& image, float* blockField, float*** pixelPlanes,
                  float*** blockPlanes, int* histogram, int H, int W, int bins);

// The measure of the nine pixels of block (bi, bj), pixel by pixel and tap by
// tap.
void preparingFineContours(int bi, int bj, float*** pixelPlanes, float* field,
                           const float* mask1, const float* mask2, int W, int n);

// Every candidate's neighbourhood, block by block, nine pixels at a time, with
// the zero-valued first cell as the marker of a block not yet computed.
void calcFineContours(float* field, const unsigned char* blockMask,
                      float*** pixelPlanes, const float* mask1, const float* mask2,
                      int blockRows, int blockCols, int W, int n);

// Box counting that scans each box and quarter cell by cell.
contours::DimensionSamples BowCountingDimension(const float* field, int rows,
                                                int cols, float threshold,
                                                int boxSize);

// fixLastSegment, cell by cell.
void fixLastSegment(const float* field, unsigned char* mask, int rows, int cols,
                    float threshold);

// The threshold search, every evaluation counting boxes over the whole field
// again; marks mask like the library's thresholdSearch.
contours::SearchRecord thresholdSearch(const float* field, int rows, int cols,
                                       const float* quantileTable, int bins,
                                       float target, float tolerance,
                                       double startFraction, int boxSize,
                                       unsigned char* mask);

// The number of entries among table[0 .. 254] that are <= v (0 for NaN): the
// rank a field held as bytes gives v, by bisection.
unsigned char rankOf(const float* table, float v);

// The largest byte of every boxSize/2 x boxSize/2 quarter of the counted
// extent, quarter by quarter.
contours::RankQuarters summariseRankQuarters(const unsigned char* ranks, int rows,
                                             int cols, int boxSize);

struct Analysis {
  std::array<int, contours::kBins> histogram{};
  std::array<float, contours::kBins> quantileTable{};
  contours::SearchRecord blockSearch;
  contours::SearchRecord pixelSearch;
  std::vector<unsigned char> result;  // H x W, 0 on selected pixels
};

// The whole analysis of an 8-bit BGR image, stage after stage with the plain
// stages above and the library's table build and mask family.
Analysis analyse(const cv::Mat& image);

}  // namespace plain
