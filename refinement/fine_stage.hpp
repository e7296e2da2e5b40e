// The fine stage as the pipeline runs it, reading the pixel surface from the
// image instead of a stored SurfacePlanes. Private to the library.
#pragma once

#include <opencv2/core.hpp>

#include "dimension/computed_blocks.hpp"
#include "dimension/quarter_maxima.hpp"
#include "dimension/rank_field.hpp"

namespace contours {

// calcFineContours with 3x3 masks, reading the pixel surface of an 8-bit BGR
// image: each part of a surface row is made from the image when the stage
// first reads it, and dropped once no later block row reads it. Gives the
// field calcFineContours gives on the surface that processImage writes for
// the same image.
void calcFineContoursFromImage(float* field, const unsigned char* blockMask,
                               const cv::Mat& image, const float* mask1,
                               const float* mask2, int blockRows, int blockCols,
                               int W);

// calcFineContoursFromImage on a field that is all +0 on entry, which also
//  - adds to computed (empty on entry, of blockRows x blockCols blocks),
//    when it is not null, every run of blocks it computes: every cell outside
//    them stays +0;
//  - when quarters is not null (and computed is not), summarises the field
//    into it for the pixel search as its rows take their final values, with
//    summariseComputedQuarterRows, from rows still in cache; at the end the
//    summary is summariseQuarters' of the finished field.
// Each surface row is made only in the columns the computed blocks read.
void fineStageFromImage(float* field, const unsigned char* blockMask,
                        const cv::Mat& image, const float* mask1, const float* mask2,
                        int blockRows, int blockCols, int W, ComputedBlocks* computed,
                        QuarterMaxima* quarters);

// fineStageFromImage with the field held as ranks (rankOf) among the entries
// of quantileTable, which ranksServe accepts: every cell of ranks (image.rows
// x W, whatever they hold on entry) gets the rank of the stage's cell, 0 (the
// rank of +0) where it computes none. Only a block row's three field rows are
// ever held as floats. Each byte of ranks is written only after the stage's
// last read of the byte at the same offset of a continuous image, so ranks
// may be image.data itself. When summary is not null, it is given every
// stretch of ranks the stage computes, as its rows take their final values.
// Returns the number of cells of the field that are not 0.
long long fineStageRanks(unsigned char* ranks, const float* quantileTable,
                         const unsigned char* blockMask, const cv::Mat& image,
                         const float* mask1, const float* mask2, int blockRows,
                         int blockCols, int W, RankQuarterBuilder* summary = nullptr);

}  // namespace contours
