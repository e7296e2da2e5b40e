// Analyses one image through the library and reports what the analysis found;
// with a second argument, writes the result image there.
#include <contours/contours.hpp>

#include <iostream>

#include <opencv2/imgcodecs.hpp>

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::cout << "Usage: contours_example IMAGE [RESULT.bmp]" << std::endl;
    return 2;
  }
  cv::Mat image = cv::imread(argv[1], cv::IMREAD_COLOR);
  if (image.empty()) {
    std::cout << argv[1] << ": cannot read the image" << std::endl;
    return 1;
  }

  cv::Mat result;  // 0 on contour pixels, 255 elsewhere
  const contours::AnalysisReport report =
      contours::analyseImage(std::move(image), result);
  if (report.status != contours::AnalysisStatus::Ok) {
    std::cout << argv[1] << ": the analysis failed" << std::endl;
    return 1;
  }

  std::cout << argv[1] << ": " << report.width << "x" << report.height << ", "
            << report.selectedPixels << " contour pixels ("
            << cv::countNonZero(result == 0) << " in the result image), "
            << report.elapsedMs << " ms" << std::endl;
  if (argc == 3 && !cv::imwrite(argv[2], result)) {
    std::cout << argv[2] << ": cannot write the result" << std::endl;
    return 1;
  }
  return 0;
}
