// The pipeline's fine stage. Private to the library.
#pragma once

#include <opencv2/core.hpp>

#include "dimension.hpp"

namespace contours {

// calcFineContoursFromImage on a field that is all +0 on entry, which also
//  - sets computed[bi * blockCols + bj] to 1 for every block (bi, bj) it
//    computes (blockRows x blockCols bytes, all 0 on entry), when computed
//    is not null: every cell outside those blocks stays +0;
//  - when quarters is not null (and computed is not), summarises the field
//    into it for the pixel search as its rows take their final values, with
//    summariseComputedQuarterRows, from rows still in cache; at the end the
//    summary is summariseQuarters' of the finished field.
// Each surface row is made only in the columns the computed blocks read.
void fineStageFromImage(float* field, const unsigned char* blockMask,
                        const cv::Mat& image, const float* mask1, const float* mask2,
                        int blockRows, int blockCols, int W, unsigned char* computed,
                        QuarterMaxima* quarters);

}  // namespace contours
