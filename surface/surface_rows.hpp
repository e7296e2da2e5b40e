// Parts of pixel surface rows, for the fine stage. Private to the library.
#pragma once

#include <opencv2/core.hpp>

namespace contours {

// surfaceRow for columns x0 .. x1-1 only: the points go to p0[x0 .. x1-1],
// p1[...], p2[...], with exactly the values surfaceRow gives them.
void surfaceRowPart(const cv::Mat& image, int y, int x0, int x1, float* p0, float* p1,
                    float* p2);

}  // namespace contours
