#pragma once
// The surface pass as the pipeline runs it, without storing the pixel surface.
// Private to the library.

#include <opencv2/core.hpp>

namespace contours {

// The block stage of processImage alone: the same block field and histogram,
// keeping neither surface (only the two block surface rows a block row's
// measure reads live at a time). The pipeline uses it with surfaceRowPart,
// making pixel surface rows only where the fine stage reads them.
void processBlocks(const cv::Mat& image, float* blockField, int* histogram, int H,
                   int W, int bins);

// The pixel surface points of image row y, columns x0 .. x1-1, into
// p0[x0 .. x1-1], p1[...], p2[...] (the three planes' rows): exactly the
// values processImage writes there.
void surfaceRowPart(const cv::Mat& image, int y, int x0, int x1, float* p0, float* p1,
                    float* p2);

}  // namespace contours
