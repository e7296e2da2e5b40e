// floor IMAGE: the least any run of contours has to do on this stack. It
// decodes IMAGE as 8-bit BGR, as contours does, and encodes an 8-bit
// single-channel BMP of the same size to floor.bmp in the working directory;
// nothing else, and never holding both at once. Timed as a whole process beside contours, it shows what the
// analysis adds to process start, decoding and encoding.

#include <iostream>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cout << "usage: floor IMAGE" << std::endl;
    return 2;
  }
  cv::Mat image = cv::imread(argv[1], cv::IMREAD_COLOR);
  if (image.empty()) {
    std::cout << "cannot read " << argv[1] << std::endl;
    return 2;
  }
  // The image goes before the result comes, so that the peak memory is the
  // decoding's and no more.
  const cv::Size size = image.size();
  image.release();
  const cv::Mat result(size, CV_8UC1, cv::Scalar(255));
  return cv::imwrite("floor.bmp", result) ? 0 : 1;
}
