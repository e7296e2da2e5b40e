// make_image SOURCE WIDTH HEIGHT OUTPUT: a large test photograph made from a
// small one. SOURCE is enlarged twice (bicubic), and the enlargement is tiled
// over WIDTH x HEIGHT, every other tile mirrored so that tiles meet without a
// seam. Detail per megapixel is thus about the same at every size, which is
// what a cost-per-megapixel comparison needs. OUTPUT's extension picks the
// format (a JPEG is written at quality 95).

#include <cstdlib>
#include <iostream>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cout << "usage: make_image SOURCE WIDTH HEIGHT OUTPUT" << std::endl;
    return 2;
  }
  const cv::Mat source = cv::imread(argv[1], cv::IMREAD_COLOR);
  const int width = std::atoi(argv[2]);
  const int height = std::atoi(argv[3]);
  if (source.empty() || width <= 0 || height <= 0) {
    std::cout << "cannot read " << argv[1] << " or bad size" << std::endl;
    return 2;
  }
  cv::Mat tile;
  cv::resize(source, tile, cv::Size(), 2.0, 2.0, cv::INTER_CUBIC);
  cv::Mat flippedX, flippedY, flippedXY;
  cv::flip(tile, flippedX, 1);
  cv::flip(tile, flippedY, 0);
  cv::flip(tile, flippedXY, -1);

  cv::Mat output(height, width, CV_8UC3);
  for (int top = 0, ty = 0; top < height; top += tile.rows, ++ty) {
    for (int left = 0, tx = 0; left < width; left += tile.cols, ++tx) {
      const cv::Mat& t = ty % 2 ? (tx % 2 ? flippedXY : flippedY)
                                : (tx % 2 ? flippedX : tile);
      const cv::Rect area(left, top, std::min(tile.cols, width - left),
                          std::min(tile.rows, height - top));
      t(cv::Rect(0, 0, area.width, area.height)).copyTo(output(area));
    }
  }
  const std::vector<int> params = {cv::IMWRITE_JPEG_QUALITY, 95};
  return cv::imwrite(argv[4], output, params) ? 0 : 1;
}
