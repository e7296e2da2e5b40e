// same_image A B: exit 0 when the two images decode to the same size, type and
// bytes, 1 otherwise (with the first difference on standard output).
#include <cstring>
#include <iostream>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cout << "usage: same_image A B" << std::endl;
    return 2;
  }
  const cv::Mat a = cv::imread(argv[1], cv::IMREAD_UNCHANGED);
  const cv::Mat b = cv::imread(argv[2], cv::IMREAD_UNCHANGED);
  if (a.empty() || b.empty()) {
    std::cout << "cannot read " << (a.empty() ? argv[1] : argv[2]) << std::endl;
    return 2;
  }
  if (a.size() != b.size() || a.type() != b.type()) {
    std::cout << "different size or type: " << a.cols << "x" << a.rows << " type "
              << a.type() << " vs " << b.cols << "x" << b.rows << " type "
              << b.type() << std::endl;
    return 1;
  }
  const size_t rowBytes = a.cols * a.elemSize();
  long long differing = 0;
  int firstRow = -1;
  for (int r = 0; r < a.rows; ++r) {
    if (std::memcmp(a.ptr(r), b.ptr(r), rowBytes) != 0) {
      if (firstRow < 0) firstRow = r;
      for (size_t i = 0; i < rowBytes; ++i) differing += a.ptr(r)[i] != b.ptr(r)[i];
    }
  }
  if (differing == 0) return 0;
  std::cout << differing << " bytes differ, first in row " << firstRow << std::endl;
  return 1;
}
