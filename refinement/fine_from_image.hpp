#pragma once
// The fine stage as the pipeline runs it, reading the pixel surface from the
// image. Private to the library.

#include <opencv2/core.hpp>

namespace contours {

// calcFineContours with 3x3 masks, reading the pixel surface of an 8-bit BGR
// image without a stored SurfacePlanes: each surface row is made with
// surfaceRow when the stage first reads it, and dropped once no later block
// row reads it. Gives the field calcFineContours gives on the surface that
// processImage writes for the same image. The pipeline runs it as
// fineStageFromImage (refinement/fine_stage.hpp), which also records the
// blocks computed and summarises the field for the pixel search.
void calcFineContoursFromImage(float* field, const unsigned char* blockMask,
                               const cv::Mat& image, const float* mask1,
                               const float* mask2, int blockRows, int blockCols,
                               int W);

}  // namespace contours
