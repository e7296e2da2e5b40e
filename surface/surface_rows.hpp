#pragma once
// The surface pass as the pipeline runs it, without storing the pixel surface.
// Private to the library.

#include <opencv2/core.hpp>

#include "support/bands.hpp"

namespace contours {

// The block stage of processImage alone: the same block field and histogram,
// keeping neither surface (only the two block surface rows a block row's
// measure reads live at a time). The pipeline uses it with surfaceRowPart,
// making pixel surface rows only where the fine stage reads them.
// With bands > 1 the measured block rows are split into that many bands of
// consecutive rows (see forEachBand), each making the block surface rows it
// reads and counting into its own histogram counts, which are added up when
// all have ended: the same field and histogram for any number of bands.
void processBlocks(const cv::Mat& image, float* blockField, int* histogram, int H,
                   int W, int bins, const Split& bands = {});

// The pixel surface points of image row y, columns x0 .. x1-1, into
// p0[x0 .. x1-1], p1[...], p2[...] (the three planes' rows): exactly the
// values processImage writes there.
void surfaceRowPart(const cv::Mat& image, int y, int x0, int x1, float* p0, float* p1,
                    float* p2);

}  // namespace contours
