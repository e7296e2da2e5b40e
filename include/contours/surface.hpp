#pragma once
// Colour surface embedding and the block-level anisotropy measure.

#include <opencv2/core.hpp>

namespace contours {

// Fills, in one pass over the image:
//  - pixelPlanes: the surface point of every pixel that lies in a complete
//    3x3 block (planes 0, 1, 2; H rows of W floats each);
//  - blockPlanes: the surface point of every block, from its mean colour
//    (H/3 rows of W/3 floats each);
//  - blockField: the anisotropy measure (E+G)^2/(EG-F^2) of block cells
//    (j, k) with j < H/3 - 2 and k < W/3 - 2, row stride W/3; other cells are
//    left as they are;
//  - histogram: for each measure m written, bin trunc(m) is incremented when
//    -1 < m < bins (NaN and infinities are never counted; nothing when
//    bins < 1).
// Sizes with no complete 3x3 block (H < 3 or W < 3, negative ones included)
// touch nothing.
// image must be 8-bit, 3 channels, in blue, green, red order; it is only read.
void processImage(const cv::Mat& image, float* blockField,
                  float* const* const* pixelPlanes, float* const* const* blockPlanes,
                  int* histogram, int H, int W, int bins);

}  // namespace contours
