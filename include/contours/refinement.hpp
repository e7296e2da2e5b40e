#pragma once
// Binomial mask family and the pixel-level measure around candidate blocks.

namespace contours {

// Builds the seven n x n row-major members M1..M7 of the binomial mask family
// by repeated pairwise averaging of a unit impulse. Every element of every
// array is written; nothing is read before it is written. Throws
// std::invalid_argument when n < 1 or when n * n passes the int range
// (n > 46340), before touching any array.
void genericMatr(float* M1, float* M2, float* M3, float* M4, float* M5,
                 float* M6, float* M7, int n);

// Fills the 9 cells of pixel block (bi, bj) in field with the anisotropy
// measure of the pixel surface, the tangents being the correlations of the
// three planes with mask1 (u, column direction) and mask2 (w, row direction).
// u, w and metric (2x2) are working storage, overwritten.
void preparingFineContours(int bi, int bj, const float* const* const* pixelPlanes,
                           float* field, float* u, float* w, float* const* metric,
                           const float* mask1, const float* mask2, int W, int n);

// For every block marked (not 255) in blockMask, among block rows 2..blockRows-3
// and block columns 2..blockCols-3, computes every block of its 3x3
// neighbourhood that is not computed yet. A block counts as computed when the
// field cell of its first pixel is not 0, so field must be all 0 on entry.
void calcFineContours(float* field, const unsigned char* blockMask,
                      const float* const* const* pixelPlanes, const float* mask1,
                      const float* mask2, int blockRows, int blockCols, int W, int n);

}  // namespace contours
