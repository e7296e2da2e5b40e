#pragma once
// The fine stage: the pixel measure of every block near a candidate of the
// block mask. Private to the library; calcFineContours and the pipeline both
// run it.

#include <opencv2/core.hpp>

#include "field/field_rows.hpp"
#include "refinement/fine_surface.hpp"

namespace contours {

// For every block marked (not 255) in blockMask (blockRows x blockCols),
// among block rows 2..blockRows-3 and block columns 2..blockCols-3, computes
// every block of its 3x3 neighbourhood that is not computed yet: the measure
// of each of its nine pixels, from surface (W columns) with masks mask1 and
// mask2 (n x n), into field. Gives the field calcFineContours defines
// (candidate by candidate, a block computed when its first cell is 0), with
// each block computed once, a whole stretch of a pixel row at a time.
void fineStage(FineSurface& surface, const float* mask1, const float* mask2, int n,
               const unsigned char* blockMask, int blockRows, int blockCols, int W,
               FieldRows& field);

// The same over block rows firstBlockRow .. endBlockRow-1 alone, a band of the
// field that computes on its own (the blocks of a block row depend on the
// candidates and the surface only, never on another block row's cells): the
// bands of a field, each with a surface of its own, may run side by side.
// Calls field.finish() at the end of the band.
void fineStage(FineSurface& surface, const float* mask1, const float* mask2, int n,
               const unsigned char* blockMask, int blockRows, int blockCols, int W,
               FieldRows& field, int firstBlockRow, int endBlockRow);

// The fine stage on the surface of an 8-bit BGR image, for 3x3 masks, in
// bands of block rows side by side (see forEachBand), each band making the
// surface rows it reads itself: the field one band gives.
void fineStage(const cv::Mat& image, const float* mask1, const float* mask2,
               const unsigned char* blockMask, int blockRows, int blockCols,
               BandedFieldRows& field, const Split& split);

}  // namespace contours
