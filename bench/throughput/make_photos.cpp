// make_photos SOURCE... OUTPUT_DIR COUNT: writes COUNT 512x512 colour
// photographs, photo-000.png ..., each a crop of one of the source images,
// resampled by a factor between 1.3 and 2 (so that every source covers the
// crop) and mirrored every other time. The choices come from a fixed seed, so
// the set is the same on every run.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

namespace {

constexpr int kSide = 512;

// A small fixed generator: the same numbers with every compiler and library.
struct Random {
  std::uint64_t state = 0x2545F4914F6CDD1DULL;
  double next() {  // in [0, 1)
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(state >> 11) / 9007199254740992.0;
  }
};

// Bilinear sample of a BGR image at (y, x), clamped to its border.
cv::Vec3b sample(const cv::Mat& image, double y, double x) {
  const double fy = std::floor(y), fx = std::floor(x);
  const double wy = y - fy, wx = x - fx;
  auto at = [&](double row, double col) {
    const int r = std::min(std::max(static_cast<int>(row), 0), image.rows - 1);
    const int c = std::min(std::max(static_cast<int>(col), 0), image.cols - 1);
    return image.at<cv::Vec3b>(r, c);
  };
  const cv::Vec3b a = at(fy, fx), b = at(fy, fx + 1), c = at(fy + 1, fx),
                  d = at(fy + 1, fx + 1);
  cv::Vec3b out;
  for (int k = 0; k < 3; ++k) {
    const double top = a[k] * (1 - wx) + b[k] * wx;
    const double bottom = c[k] * (1 - wx) + d[k] * wx;
    out[k] = static_cast<unsigned char>(std::lround(top * (1 - wy) + bottom * wy));
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cout << "Usage: make_photos SOURCE... OUTPUT_DIR COUNT" << std::endl;
    return 2;
  }
  const int count = std::stoi(argv[argc - 1]);
  const std::string outputDir = argv[argc - 2];
  std::vector<cv::Mat> sources;
  for (int i = 1; i < argc - 2; ++i) {
    cv::Mat image = cv::imread(argv[i], cv::IMREAD_COLOR);
    if (image.empty() || image.rows < 400 || image.cols < 400) {
      std::cout << argv[i] << ": not a colour image of at least 400x400" << std::endl;
      return 1;
    }
    sources.push_back(image);
  }

  Random random;
  for (int n = 0; n < count; ++n) {
    const cv::Mat& source = sources[n % sources.size()];
    const double scale = 1.3 + 0.7 * random.next();  // output pixels per source pixel
    const double spanY = source.rows * scale - kSide;
    const double spanX = source.cols * scale - kSide;
    const double top = spanY * random.next();
    const double left = spanX * random.next();
    const bool mirror = (n / 2) % 2 == 1;

    cv::Mat photo(kSide, kSide, CV_8UC3);
    for (int y = 0; y < kSide; ++y) {
      for (int x = 0; x < kSide; ++x) {
        const int column = mirror ? kSide - 1 - x : x;
        photo.at<cv::Vec3b>(y, x) =
            sample(source, (top + y) / scale, (left + column) / scale);
      }
    }
    char name[32];
    std::snprintf(name, sizeof name, "/photo-%03d.png", n);
    if (!cv::imwrite(outputDir + name, photo)) {
      std::cout << outputDir + name << ": cannot write" << std::endl;
      return 1;
    }
  }
  return 0;
}
