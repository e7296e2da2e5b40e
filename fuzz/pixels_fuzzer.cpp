// Arbitrary small pixel arrays straight into the analysis. The first byte
// gives the row count, the second the column count (each 0 to 20); the rest
// are the blue, green, red bytes row by row, repeated when too few and
// ignored when too many. Row and column counts of 0 are included on purpose.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <opencv2/core.hpp>

#include <contours/contours.hpp>

namespace {

constexpr int kMaxSide = 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const int rows = data[0] % (kMaxSide + 1);
  const int cols = data[1] % (kMaxSide + 1);
  const std::uint8_t* pixels = data + 2;
  const std::size_t available = size - 2;

  cv::Mat image(rows, cols, CV_8UC3);
  for (int y = 0; y < rows; ++y) {
    std::uint8_t* row = image.ptr<std::uint8_t>(y);
    for (int x = 0; x < 3 * cols; ++x) {
      const std::size_t index = static_cast<std::size_t>(y) * 3 * cols + x;
      row[x] = available == 0 ? 0 : pixels[index % available];
    }
  }

  cv::Mat result;
  const contours::AnalysisReport report = contours::analyseImage(image, result);
  if (report.status != contours::AnalysisStatus::Ok) std::abort();
  if (rows > 0 && cols > 0 &&
      (result.rows != rows || result.cols != cols || result.type() != CV_8UC1))
    std::abort();
  // With fewer than 9 rows or columns no block measure exists (it needs three
  // blocks each way), so nothing can be selected.
  if (rows < 9 || cols < 9) {
    for (int y = 0; y < result.rows; ++y)
      for (int x = 0; x < result.cols; ++x)
        if (result.at<std::uint8_t>(y, x) != 255) std::abort();
  }
  return 0;
}
